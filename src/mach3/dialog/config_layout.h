// Template of the configuration dialog: control ids and the control table.
#pragma once

#include "platform/dialog_toolkit.h"

enum ConfigControlId : int {
    IDC_MODE_IO = 1001,  // first button of the mode radio group
    IDC_MODE_OUTPUT = 1002,
    IDC_MODE_INPUT = 1003,
    IDC_SPINDLE = 1004,
    IDC_DEMO = 1005,
    IDC_CANCEL_BUTTON = 1006,
    IDC_OK_BUTTON = 1007,
    IDC_REFRESH = 1008,
    IDC_OUTPUT_FIRST = 1010,  // m_Outputs[k] is IDC_OUTPUT_FIRST + k, 0..8
    IDC_INPUT_FIRST = 1020,   // m_Inputs[k] is IDC_INPUT_FIRST + k, 0..7
};

const platform::DialogLayout& ConfigDialogLayout() noexcept;

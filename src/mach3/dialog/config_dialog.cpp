// The configuration dialog: the loop of showings, the input displays and what OK and cancel leave behind.
#include "mach3/dialog/config_dialog.h"

#include <cstdio>

#include "mach3/assignments/assignments.h"
#include "mach3/assignments/signal_names.h"
#include "mach3/dialog/config_layout.h"
#include "mach3/log.h"
#include "mach3/profile/xml_profile.h"
#include "mach3/version.h"

namespace {

// Handed over by BindConfigDialog; the owner of the plug-in state keeps them alive as long as the module.
struct Bound {
    Settings* settings = nullptr;
    const ScanResults* scan = nullptr;
    const HostLink* host = nullptr;
};
constinit Bound bound;

constexpr const char* kUnused = "** unused **";
constexpr const char* kNotAvailable = "Not Available";

std::string TitleText() {
    char text[128];
    std::snprintf(text, sizeof text, "TRELVO-40/41 Configuration (Plug-In Version %.4d.%.2d.%.2d%s)", TRELVO_VERSION_YEAR,
                  TRELVO_VERSION_MONTH, TRELVO_VERSION_DAY, "");
    return text;
}

// Which m_Inputs entry a signal on this port and pin lands in, or -1.
int InputSlot(int port, int pin, int32_t ioMode) noexcept {
    int offset;
    if (port == 1) {
        offset = 0;
    } else if (port == 8 && ioMode != IO_EXPANDED_OUTPUT) {
        offset = 4;
    } else {
        return -1;
    }
    switch (pin) {
        case 11: return offset + 0;
        case 12: return offset + 1;
        case 13: return offset + 2;
        case 15: return offset + 3;
        default: return -1;
    }
}

void FillOutputFields(CConfigForm& form) {
    const ScanResults& scan = *bound.scan;
    form.m_Outputs[8] = OutputSignalName(scan.bitStreamIndex);
    for (int k = 0; k < 8; ++k) {
        form.m_Outputs[k] = OutputSignalName(scan.ExpandedAssignments[k]);
    }
}

void LogOutcome(const char* heading, const char* status) noexcept {
    const Settings& s = *bound.settings;
    myLogf(LOG_INFO, "%s\n\tIO Mode:\t%d\n\tSpindle:\t%d\n\tDemo:\t\t%d", heading, s.IoMode, s.EnableSpindle ? 1 : 0,
           s.DemoMode ? 1 : 0);
    if (s.EnableDebug) {
        myStatus(status);
    }
}

}  // namespace

CConfigForm::CConfigForm() noexcept : ModalDialog(ConfigDialogLayout()) {}

void CConfigForm::DoDataExchange(DataExchange& dx) {
    dx.Check(IDC_DEMO, m_Demo);
    for (int k = 0; k < 9; ++k) {
        dx.Text(IDC_OUTPUT_FIRST + k, m_Outputs[k]);
    }
    dx.Check(IDC_SPINDLE, m_Spindle);
    dx.Radio(IDC_MODE_IO, m_Mode);
    for (int k = 0; k < 8; ++k) {
        dx.Text(IDC_INPUT_FIRST + k, m_Inputs[k]);
    }
}

void CConfigForm::InitDialog() {
    ModalDialog::InitDialog();
    if (Window() != nullptr) {
        Window()->SetCaption(m_Title);
    }
    UpdateSpindleEnable(*this);
}

bool CConfigForm::HandleCommand(int id) {
    switch (id) {
        case IDC_OK_BUTTON:
            UpdateData(true);
            OkAction();
            return true;
        case IDC_CANCEL_BUTTON:
            CancelAction();
            return true;
        case IDC_REFRESH:
            UpdateData(true);
            EndDialog(REFRESH_RESULT);
            return true;
        case IDC_MODE_IO:
        case IDC_MODE_OUTPUT:
        case IDC_MODE_INPUT:
            UpdateSpindleEnable(*this);
            return true;
        default:
            return false;
    }
}

void UpdateSpindleEnable(CConfigForm& form) noexcept {
    platform::DialogWindow* window = form.Window();
    if (window == nullptr) {
        return;
    }
    window->EnableControl(IDC_SPINDLE, !window->GetCheck(IDC_MODE_INPUT));
}

void FillInputAssignmentFields(CConfigForm& form) {
    if (bound.settings == nullptr) return;
    const int32_t ioMode = bound.settings->IoMode;
    for (int k = 0; k < 4; ++k) {
        form.m_Inputs[k] = kUnused;
        form.m_Inputs[4 + k] = ioMode == IO_EXPANDED_OUTPUT ? kNotAvailable : kUnused;
    }
    const HostEngineBlock* engine = bound.host->engine;
    if (engine == nullptr) {
        return;
    }
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        const HostInputSignal& input = engine->inputs[i];
        if (input.enabled == 0) {
            continue;
        }
        const int slot = InputSlot(input.port, input.pin, ioMode);
        if (slot >= 0) {
            form.m_Inputs[slot] = InputSignalNames[i];
        }
    }
    for (int e = 0; e < HOST_ENCODER_COUNT; ++e) {
        const HostEncoder& encoder = engine->encoders[e];
        if (encoder.enabled == 0) {
            continue;
        }
        const int a = InputSlot(encoder.aPort, encoder.aPin, ioMode);
        if (a >= 0) {
            form.m_Inputs[a] = EncoderSignalNames[e][0];
        }
        const int b = InputSlot(encoder.bPort, encoder.bPin, ioMode);
        if (b >= 0) {
            form.m_Inputs[b] = EncoderSignalNames[e][1];
        }
    }
}

void BindConfigDialog(Settings& settings, const ScanResults& scan, const HostLink& host) noexcept {
    bound = Bound{&settings, &scan, &host};
}

void RunConfigDialog(CXmlProfile& profile) noexcept {
    if (bound.settings == nullptr) return;
    Settings& s = *bound.settings;
    try {
        int32_t result;
        {
            CConfigForm form;
            form.m_Title = TitleText();
            const int32_t savedMode = s.IoMode;
            const bool savedDemo = s.DemoMode;
            const bool savedSpindle = s.EnableSpindle;
            do {
                ScanSignalAssignments();
                FillInputAssignmentFields(form);
                FillOutputFields(form);
                form.m_Demo = s.DemoMode ? 1 : 0;
                form.m_Mode = s.IoMode;
                form.m_Spindle = s.EnableSpindle ? 1 : 0;
                result = form.DoModal();
                if (result == REFRESH_RESULT) {
                    s.IoMode = form.m_Mode;
                    s.DemoMode = form.m_Demo != 0;
                    s.EnableSpindle = form.m_Spindle != 0;
                } else {
                    s.IoMode = savedMode;
                    s.DemoMode = savedDemo;
                    s.EnableSpindle = savedSpindle;
                }
            } while (result == REFRESH_RESULT);

            if (result == platform::DIALOG_OK) {
                // Only what the user changed since Config opened: writing an unchanged key would undo
                // another host's change to it made meanwhile.
                if (form.m_Mode != savedMode) profile.WriteInt(kProfileSection, "ExpandedMode", form.m_Mode);
                s.IoMode = form.m_Mode;
                if ((form.m_Spindle != 0) != savedSpindle) profile.WriteInt(kProfileSection, "EnableSpindle", form.m_Spindle);
                s.EnableSpindle = form.m_Spindle != 0;
                s.DemoMode = form.m_Demo != 0;
                LogOutcome("Config Updated:", "TRELVO-40/41 Config updated");
            } else {
                // A Refresh may have left the scan of a previewed mode behind; the transmitter must see
                // the wiring of the mode that is in force again.
                ScanSignalAssignments();
                LogOutcome("Config unchanged:", "TRELVO-40/41 Config left unchanged");
            }
        }
    } catch (...) {
        myLog(LOG_ERROR, "RunConfigDialog() failed");
    }
    CheckProbeAssignment();
}

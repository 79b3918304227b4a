// The configuration dialog run by Config: I/O mode, spindle option and a read-only view of the board's wiring.
#pragma once

#include <cstdint>
#include <string>

#include "mach3/assignments/assignments.h"
#include "mach3/dialog/modal_dialog.h"
#include "mach3/host_link.h"
#include "mach3/settings.h"

class CXmlProfile;

// Hands the dialog the settings it shows and changes, the scan results it shows and the lent blocks
// whose inputs it lists. Until then RunConfigDialog shows nothing.
void BindConfigDialog(Settings& settings, const ScanResults& scan, const HostLink& host) noexcept;

// Close code of the Refresh button: show the dialog again with freshly read displays.
inline constexpr int32_t REFRESH_RESULT = 4;

class CConfigForm : public ModalDialog {
public:
    CConfigForm() noexcept;

    const char* ClassName() const noexcept override { return "CConfigForm"; }

    std::string m_Title;
    int32_t m_Demo = 0;
    std::string m_Outputs[9];  // ExpandedAssignments slots 0..7, then the bit-stream output
    int32_t m_Spindle = 0;
    int32_t m_Mode = 0;        // -1 when no mode button is selected
    std::string m_Inputs[8];   // J12 pins 11, 12, 13, 15, then J11 E, F, G, H

protected:
    void DoDataExchange(DataExchange& dx) override;
    void InitDialog() override;
    bool HandleCommand(int id) override;
};

void RunConfigDialog(CXmlProfile& profile) noexcept;
void FillInputAssignmentFields(CConfigForm& form);
// Greys the spindle box while Expanded Input mode is selected; needs the form to be shown.
void UpdateSpindleEnable(CConfigForm& form) noexcept;

// The configuration dialog's template, one row per control in tab order.
#include "mach3/dialog/config_layout.h"

#include <iterator>

namespace {

using platform::ControlKind;
using platform::ControlEntry;
using platform::kStaticId;

constexpr ControlKind kRadio = ControlKind::RadioButton;
constexpr ControlKind kCheck = ControlKind::CheckBox;
constexpr ControlKind kButton = ControlKind::PushButton;
constexpr ControlKind kGroup = ControlKind::GroupBox;
constexpr ControlKind kLabel = ControlKind::Label;
constexpr ControlKind kDisplay = ControlKind::Display;

constexpr bool kHidden = true;
constexpr bool kShown = false;
constexpr bool kGroupStart = true;
constexpr bool kInGroup = false;

constexpr ControlEntry kControls[] = {
    {kRadio, "Expanded &I/O Mode", 29, 7, 80, 10, kShown, kGroupStart, IDC_MODE_IO},
    {kRadio, "Expanded &Output Mode", 29, 17, 91, 13, kShown, kInGroup, IDC_MODE_OUTPUT},
    {kRadio, "Expanded In&put Mode", 29, 30, 86, 10, kShown, kInGroup, IDC_MODE_INPUT},
    // Starts a group so that the arrow keys stay within the three mode buttons.
    {kCheck, "Enable &Spindle (TRELVO-17)", 29, 43, 106, 10, kShown, kGroupStart, IDC_SPINDLE},
    {kCheck, "&Demo Mode", 359, 43, 55, 10, kHidden, kInGroup, IDC_DEMO},
    {kButton, "CANCEL", 93, 157, 50, 14, kShown, kInGroup, IDC_CANCEL_BUTTON},
    {kButton, "OK", 292, 157, 50, 14, kShown, kInGroup, IDC_OK_BUTTON},
    {kGroup, "Expanded Output Signal Assignments", 225, 58, 203, 95, kShown, kInGroup, kStaticId},
    // The connector pin labels carry their quotation marks: the board's silk screen reads that way.
    {kLabel, "\"A\"", 342, 80, 11, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"B\"", 342, 98, 11, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"C\"", 342, 116, 11, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"D\"", 342, 134, 11, 8, kShown, kInGroup, kStaticId},
    {kGroup, "Connector J5", 333, 68, 87, 82, kShown, kInGroup, kStaticId},
    {kGroup, "Relays", 230, 68, 92, 47, kShown, kInGroup, kStaticId},
    {kGroup, "Connector J6", 231, 120, 92, 46, kHidden, kInGroup, kStaticId},
    {kDisplay, "", 359, 77, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 0},
    {kDisplay, "", 359, 95, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 1},
    {kDisplay, "", 359, 113, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 2},
    {kDisplay, "", 359, 131, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 3},
    {kLabel, "K1", 240, 80, 9, 8, kShown, kInGroup, kStaticId},
    {kLabel, "K2", 240, 98, 9, 8, kShown, kInGroup, kStaticId},
    {kDisplay, "", 257, 77, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 4},
    {kDisplay, "", 257, 95, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 5},
    {kLabel, "\"16\"", 242, 134, 15, 8, kHidden, kInGroup, kStaticId},
    {kLabel, "\"17\"", 242, 153, 15, 8, kHidden, kInGroup, kStaticId},
    {kDisplay, "", 257, 131, 54, 14, kHidden, kInGroup, IDC_OUTPUT_FIRST + 6},
    {kDisplay, "", 257, 149, 54, 14, kHidden, kInGroup, IDC_OUTPUT_FIRST + 7},
    {kDisplay, "", 359, 17, 54, 14, kShown, kInGroup, IDC_OUTPUT_FIRST + 8},
    {kLabel, "Bit stream assigned to", 354, 7, 74, 8, kShown, kInGroup, kStaticId},
    {kGroup, "Expanded Input Signal Assignments", 14, 58, 203, 95, kShown, kInGroup, kStaticId},
    {kGroup, "Connector J12", 20, 68, 87, 82, kShown, kInGroup, kStaticId},
    {kGroup, "Connector J11", 119, 68, 87, 82, kShown, kInGroup, kStaticId},
    {kLabel, "\"11\"", 29, 80, 15, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"12\"", 29, 98, 15, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"13\"", 29, 116, 15, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"15\"", 29, 134, 15, 8, kShown, kInGroup, kStaticId},
    {kDisplay, "", 47, 77, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 0},
    {kDisplay, "", 47, 95, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 1},
    {kDisplay, "", 47, 113, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 2},
    {kDisplay, "", 47, 131, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 3},
    {kLabel, "\"E\"", 128, 80, 11, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"F\"", 128, 98, 11, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"G\"", 128, 116, 11, 8, kShown, kInGroup, kStaticId},
    {kLabel, "\"H\"", 128, 134, 11, 8, kShown, kInGroup, kStaticId},
    {kDisplay, "", 143, 77, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 4},
    {kDisplay, "", 143, 95, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 5},
    {kDisplay, "", 143, 113, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 6},
    {kDisplay, "", 143, 131, 54, 14, kShown, kInGroup, IDC_INPUT_FIRST + 7},
    {kButton, "Refresh", 190, 159, 50, 12, kShown, kInGroup, IDC_REFRESH},
    {kLabel, "(Spindle ignored in Expanded Input Mode)", 143, 43, 139, 8, kShown, kInGroup, kStaticId},
    {kLabel, "WARNING:", 128, 7, 35, 10, kShown, kInGroup, kStaticId},
    {kLabel,
     "Expanded I/O and Output modes MAY NOT WORK with newer Mach3 version and PC hardware.\n"
     "See Plug-In Release Notes for more into.",
     167, 7, 163, 23, kShown, kInGroup, kStaticId},
};

constexpr platform::DialogLayout kLayout = {
    "TRELVO-40 Configuration", "MS Shell Dlg", 8, 435, 178, kControls, std::size(kControls),
};

}  // namespace

const platform::DialogLayout& ConfigDialogLayout() noexcept { return kLayout; }

// The windowing toolkit's modal dialogs: a window built from a constant control table, driven by a handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class ControlKind {
    RadioButton,  // auto radio button; tab stop when it starts a group
    CheckBox,     // auto check box, tab stop
    PushButton,   // tab stop
    GroupBox,     // frame with a caption
    Label,        // static text, left aligned, '\n' breaks the line
    Display,      // bordered read-only edit field that scrolls horizontally, tab stop
};

// Id of controls nobody addresses (labels, frames).
inline constexpr int kStaticId = -1;

// One control of a template. Positions and sizes are dialog units; tab order is table order.
struct ControlEntry {
    ControlKind kind;
    const char* text;   // '&' marks the mnemonic letter
    int16_t x, y, cx, cy;
    bool hidden;
    bool groupStart;    // starts a group: ends the radio group before it
    int id;
};

// A centred, system-modal pop-up with caption, system menu and modal frame, brought to the foreground.
struct DialogLayout {
    const char* caption;  // template caption, usually replaced by the handler at initialisation
    const char* fontFace;
    int fontPoints;
    int16_t cx, cy;
    const ControlEntry* controls;
    size_t controlCount;
};

// Close codes of a modal dialog.
enum : int32_t {
    DIALOG_FAILED = -1,  // the window could not be created
    DIALOG_OK = 1,
    DIALOG_CANCEL = 2,
};

// The shown window, lent to the handler's calls for the length of one showing. Ids are those of the
// layout; an unknown id is ignored by setters and reads as clear/empty/-1.
class DialogWindow {
public:
    virtual bool GetCheck(int id) = 0;
    virtual void SetCheck(int id, bool checked) = 0;
    virtual std::string GetText(int id) = 0;
    virtual void SetText(int id, const std::string& text) = 0;
    // Position among the radio buttons of the group that starts at firstId, -1 when none is selected.
    virtual int GetRadioSelection(int firstId) = 0;
    // Selects the button at that position and clears the others; a position out of range clears all.
    virtual void SetRadioSelection(int firstId, int position) = 0;
    virtual bool IsEnabled(int id) = 0;
    virtual void EnableControl(int id, bool enabled) = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // Closes the window once the current handler call returns; ShowModalDialog then returns the code.
    virtual void EndDialog(int32_t code) = 0;

protected:
    ~DialogWindow() = default;
};

// What the toolkit calls while a dialog is up, always on the thread inside ShowModalDialog.
// None of these may throw.
class DialogHandler {
public:
    // Once per showing, after the controls exist and before the window is visible.
    virtual void OnInitDialog(DialogWindow& window) noexcept = 0;
    // A push button, radio button or check box was clicked (the click has already changed its state).
    virtual void OnCommand(DialogWindow& window, int id) noexcept = 0;
    // Enter pressed while the focus is not on a push button.
    virtual void OnOk(DialogWindow& window) noexcept = 0;
    // Escape pressed or the close box clicked.
    virtual void OnCancel(DialogWindow& window) noexcept = 0;

protected:
    ~DialogHandler() = default;
};

// Builds the window from the layout, shows it modally with no owner and returns the EndDialog code,
// or DIALOG_FAILED when it cannot be created. Blocks the calling thread until the window is gone.
int32_t ShowModalDialog(const DialogLayout& layout, DialogHandler& handler) noexcept;

}  // namespace platform

// The modal-dialog base class: data exchange between fields and controls, and the stock OK and cancel actions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dialog_toolkit.h"

// One pass of data exchange, into the controls or back into the fields.
class DataExchange {
public:
    DataExchange(platform::DialogWindow& window, bool saveAndValidate) noexcept
        : window_(window), save_(saveAndValidate) {}

    bool Saving() const noexcept { return save_; }
    void Check(int id, int32_t& value);  // ticked is 1, clear is 0
    void Text(int id, std::string& value);
    void Radio(int firstId, int32_t& value);  // position in the group, -1 for none

private:
    platform::DialogWindow& window_;
    bool save_;
};

class ModalDialog : protected platform::DialogHandler {
public:
    explicit ModalDialog(const platform::DialogLayout& layout) noexcept : layout_(layout) {}
    virtual ~ModalDialog() = default;
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    virtual const char* ClassName() const noexcept { return "ModalDialog"; }

    // Shows the window and returns its close code; the object can be shown again afterwards.
    int32_t DoModal() noexcept;

    // The window of the current showing, null between showings.
    platform::DialogWindow* Window() const noexcept { return window_; }

    // Fields into the controls (save false) or back (save true).
    bool UpdateData(bool saveAndValidate) noexcept;

protected:
    virtual void DoDataExchange(DataExchange& dx) = 0;
    // Default: fields into the controls.
    virtual void InitDialog();
    // The command map: true when the id was handled. The default handles nothing.
    virtual bool HandleCommand(int id);
    // Stock actions: OK copies the controls into the fields and closes with 1, cancel closes with 2.
    virtual void OkAction();
    virtual void CancelAction();
    void EndDialog(int32_t code) noexcept;

private:
    void OnInitDialog(platform::DialogWindow& window) noexcept final;
    void OnCommand(platform::DialogWindow& window, int id) noexcept final;
    void OnOk(platform::DialogWindow& window) noexcept final;
    void OnCancel(platform::DialogWindow& window) noexcept final;

    const platform::DialogLayout& layout_;
    platform::DialogWindow* window_ = nullptr;
};

// Windows modal dialogs: an in-memory dialog template built from the layout table, run by DialogBoxIndirectParamA.
#include "platform/dialog_toolkit.h"

#include <windows.h>

#include <string>
#include <vector>

namespace platform {
namespace {

// Predefined window classes of a dialog template, by atom.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;

class TemplateWriter {
public:
    void Word(WORD value) { words_.push_back(value); }
    void Dword(DWORD value) {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Text(const char* text) {
        const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        std::wstring wide(n > 0 ? n : 1, L'\0');
        if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
        for (wchar_t c : wide) Word(static_cast<WORD>(c));  // ends with the terminating zero
    }
    // Each item template starts on a DWORD boundary.
    void AlignDword() {
        if (words_.size() % 2 != 0) Word(0);
    }
    std::vector<WORD> Take() { return std::move(words_); }

private:
    std::vector<WORD> words_;
};

DWORD ControlStyle(const ControlEntry& control, WORD& windowClass) {
    DWORD style = WS_CHILD;
    if (!control.hidden) style |= WS_VISIBLE;
    if (control.groupStart) style |= WS_GROUP;
    switch (control.kind) {
    case ControlKind::RadioButton:
        windowClass = kButtonClass;
        style |= BS_AUTORADIOBUTTON;
        if (control.groupStart) style |= WS_TABSTOP;
        break;
    case ControlKind::CheckBox:
        windowClass = kButtonClass;
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
    case ControlKind::PushButton:
        windowClass = kButtonClass;
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
    case ControlKind::GroupBox:
        windowClass = kButtonClass;
        style |= BS_GROUPBOX;
        break;
    case ControlKind::Label:
        windowClass = kStaticClass;
        style |= SS_LEFT;
        break;
    case ControlKind::Display:
        windowClass = kEditClass;
        style |= ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP;
        break;
    }
    return style;
}

std::vector<WORD> BuildTemplate(const DialogLayout& layout) {
    TemplateWriter t;
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER | DS_SYSMODAL |
                        DS_SETFOREGROUND;
    t.Dword(style);
    t.Dword(0);  // extended style
    t.Word(static_cast<WORD>(layout.controlCount));
    t.Word(0);  // x, y: DS_CENTER places the window
    t.Word(0);
    t.Word(static_cast<WORD>(layout.cx));
    t.Word(static_cast<WORD>(layout.cy));
    t.Word(0);  // no menu
    t.Word(0);  // the standard dialog class
    t.Text(layout.caption != nullptr ? layout.caption : "");
    t.Word(static_cast<WORD>(layout.fontPoints));
    t.Text(layout.fontFace != nullptr ? layout.fontFace : "MS Shell Dlg");
    for (size_t i = 0; i < layout.controlCount; ++i) {
        const ControlEntry& control = layout.controls[i];
        WORD windowClass = kStaticClass;
        const DWORD controlStyle = ControlStyle(control, windowClass);
        t.AlignDword();
        t.Dword(controlStyle);
        t.Dword(0);
        t.Word(static_cast<WORD>(control.x));
        t.Word(static_cast<WORD>(control.y));
        t.Word(static_cast<WORD>(control.cx));
        t.Word(static_cast<WORD>(control.cy));
        t.Word(static_cast<WORD>(control.id));  // kStaticId becomes 0xFFFF, the usual id of static items
        t.Word(0xFFFF);
        t.Word(windowClass);
        t.Text(control.text != nullptr ? control.text : "");
        t.Word(0);  // no creation data
    }
    return t.Take();
}

class Win32Window final : public DialogWindow {
public:
    Win32Window(const DialogLayout& layout, DialogHandler& handler) : layout_(layout), handler_(handler) {}

    bool GetCheck(int id) override {
        HWND control = Control(id);
        return control != nullptr && SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    void SetCheck(int id, bool checked) override {
        if (HWND control = Control(id)) SendMessageA(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    std::string GetText(int id) override {
        HWND control = Control(id);
        if (control == nullptr) return {};
        std::string text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
        text.resize(static_cast<size_t>(GetWindowTextA(control, text.data(), static_cast<int>(text.size()))));
        return text;
    }
    void SetText(int id, const std::string& text) override {
        if (HWND control = Control(id)) SetWindowTextA(control, text.c_str());
    }
    int GetRadioSelection(int firstId) override {
        const std::vector<int> group = RadioGroup(firstId);
        for (size_t position = 0; position < group.size(); ++position) {
            if (GetCheck(group[position])) return static_cast<int>(position);
        }
        return -1;
    }
    void SetRadioSelection(int firstId, int position) override {
        const std::vector<int> group = RadioGroup(firstId);
        for (size_t k = 0; k < group.size(); ++k) SetCheck(group[k], position >= 0 && static_cast<size_t>(position) == k);
    }
    bool IsEnabled(int id) override {
        HWND control = Control(id);
        return control != nullptr && IsWindowEnabled(control);
    }
    void EnableControl(int id, bool enabled) override {
        if (HWND control = Control(id)) EnableWindow(control, enabled ? TRUE : FALSE);
    }
    void SetCaption(const std::string& caption) override { SetWindowTextA(window_, caption.c_str()); }
    void EndDialog(int32_t code) override {
        ended_ = true;
        code_ = code;
    }

    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
        Win32Window* self = nullptr;
        if (message == WM_INITDIALOG) {
            self = reinterpret_cast<Win32Window*>(lParam);
            SetWindowLongPtrA(window, DWLP_USER, lParam);
            self->window_ = window;
            self->handler_.OnInitDialog(*self);
            self->Finish();
            return TRUE;
        }
        self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(window, DWLP_USER));
        if (self == nullptr || message != WM_COMMAND) return FALSE;
        const int id = LOWORD(wParam);
        // No layout control has id 1 or 2: these come from the dialog manager, for Enter (when
        // the focus is not on a push button), Escape and the close box.
        if (id == IDOK) {
            self->handler_.OnOk(*self);
        } else if (id == IDCANCEL) {
            self->handler_.OnCancel(*self);
        } else if (HIWORD(wParam) == BN_CLICKED && lParam != 0) {
            self->handler_.OnCommand(*self, id);
        } else {
            return FALSE;
        }
        self->Finish();
        return TRUE;
    }

private:
    HWND Control(int id) const {
        if (id == kStaticId || window_ == nullptr) return nullptr;
        return GetDlgItem(window_, id);
    }

    // Ids of the radio buttons from firstId up to the next control that starts a group.
    std::vector<int> RadioGroup(int firstId) const {
        std::vector<int> ids;
        size_t i = 0;
        while (i < layout_.controlCount && layout_.controls[i].id != firstId) ++i;
        for (size_t k = i; k < layout_.controlCount; ++k) {
            const ControlEntry& control = layout_.controls[k];
            if (k > i && control.groupStart) break;
            if (control.kind == ControlKind::RadioButton) ids.push_back(control.id);
        }
        return ids;
    }

    // The handler asked to close: the window goes once its call has returned.
    void Finish() {
        if (ended_) ::EndDialog(window_, code_);
    }

    const DialogLayout& layout_;
    DialogHandler& handler_;
    HWND window_ = nullptr;
    bool ended_ = false;
    int32_t code_ = DIALOG_CANCEL;
};

// The module whose resources the dialog manager may look in: the one holding this code.
HINSTANCE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

}  // namespace

int32_t ShowModalDialog(const DialogLayout& layout, DialogHandler& handler) noexcept {
    try {
        const std::vector<WORD> dialogTemplate = BuildTemplate(layout);
        Win32Window window(layout, handler);
        const INT_PTR result =
            DialogBoxIndirectParamA(OwnModule(), reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()), nullptr,
                                    &Win32Window::Procedure, reinterpret_cast<LPARAM>(&window));
        return result == -1 ? DIALOG_FAILED : static_cast<int32_t>(result);
    } catch (...) {
        return DIALOG_FAILED;
    }
}

}  // namespace platform

// Headless modal dialogs for POSIX builds: the window lives in memory and a scripted user drives it.
#include "platform/dialog_toolkit.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "platform/posix/dialog_script.h"

namespace platform {
namespace {

struct ControlState {
    bool checked = false;
    bool enabled = true;
    std::string text;
};

std::string WithoutMnemonic(const char* text) {
    std::string plain;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '&' && c[1] != '\0') {
            ++c;
        }
        plain += *c;
    }
    return plain;
}

bool Inside(const ControlEntry& inner, const ControlEntry& outer) noexcept {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.cx <= outer.x + outer.cx &&
           inner.y + inner.cy <= outer.y + outer.cy;
}

class HeadlessWindow final : public DialogWindow {
public:
    explicit HeadlessWindow(const DialogLayout& layout) : layout_(layout), states_(layout.controlCount) {
        caption_ = layout.caption;
        for (size_t i = 0; i < layout.controlCount; ++i) {
            states_[i].text = layout.controls[i].text;
        }
    }

    bool GetCheck(int id) override {
        const ControlState* s = Find(id);
        return s != nullptr && s->checked;
    }
    void SetCheck(int id, bool checked) override {
        if (ControlState* s = Find(id)) s->checked = checked;
    }
    std::string GetText(int id) override {
        const ControlState* s = Find(id);
        return s != nullptr ? s->text : std::string();
    }
    void SetText(int id, const std::string& text) override {
        if (ControlState* s = Find(id)) s->text = text;
    }
    int GetRadioSelection(int firstId) override {
        const std::vector<size_t> group = RadioGroup(firstId);
        for (size_t position = 0; position < group.size(); ++position) {
            if (states_[group[position]].checked) return static_cast<int>(position);
        }
        return -1;
    }
    void SetRadioSelection(int firstId, int position) override {
        const std::vector<size_t> group = RadioGroup(firstId);
        for (size_t k = 0; k < group.size(); ++k) {
            states_[group[k]].checked = position >= 0 && static_cast<size_t>(position) == k;
        }
    }
    bool IsEnabled(int id) override {
        const ControlState* s = Find(id);
        return s != nullptr && s->enabled;
    }
    void EnableControl(int id, bool enabled) override {
        if (ControlState* s = Find(id)) s->enabled = enabled;
    }
    void SetCaption(const std::string& caption) override { caption_ = caption; }
    void EndDialog(int32_t code) override {
        ended_ = true;
        code_ = code;
    }

    bool Ended() const noexcept { return ended_; }
    int32_t Code() const noexcept { return code_; }

    // Plays one scripted action; false when the action is not understood.
    bool Play(const std::string& action, DialogHandler& handler) {
        if (action == "enter") {
            handler.OnOk(*this);  // the focus starts on the first radio button, never on a push button
        } else if (action == "escape" || action == "close") {
            handler.OnCancel(*this);
        } else if (action == "ok" || action == "cancel" || action == "refresh") {
            return ClickButton(action, handler);
        } else if (action.rfind("mode ", 0) == 0) {
            return SelectMode(action.substr(5), handler);
        } else if (action.rfind("spindle ", 0) == 0) {
            return ClickCheckBox("Spindle", action.substr(8), handler);
        } else if (action.rfind("demo ", 0) == 0) {
            return ClickCheckBox("Demo", action.substr(5), handler);
        } else {
            return false;
        }
        return true;
    }

    // What a user reads: the caption, then the mode, the check boxes and the displays in tab order.
    std::string Displays() const {
        std::string out = caption_ + "\n";
        bool modeShown = false;
        for (size_t i = 0; i < layout_.controlCount; ++i) {
            const ControlEntry& control = layout_.controls[i];
            const ControlState& st = states_[i];
            std::string line;
            if (control.kind == ControlKind::RadioButton) {
                if (modeShown) continue;
                modeShown = true;
                line = "Mode: " + SelectedRadioText(i);
            } else if (control.kind == ControlKind::CheckBox) {
                line = std::string(st.checked ? "[x] " : "[ ] ") + WithoutMnemonic(st.text.c_str());
            } else if (control.kind == ControlKind::Display) {
                line = DisplayName(i) + ": " + st.text;
            } else {
                continue;
            }
            if (control.hidden) line += " (hidden)";
            if (!st.enabled) line += " (disabled)";
            out += line + "\n";
        }
        return out;
    }

private:
    ControlState* Find(int id) noexcept {
        if (id == kStaticId) return nullptr;
        for (size_t i = 0; i < layout_.controlCount; ++i) {
            if (layout_.controls[i].id == id) return &states_[i];
        }
        return nullptr;
    }

    size_t IndexOf(int id) const noexcept {
        for (size_t i = 0; i < layout_.controlCount; ++i) {
            if (layout_.controls[i].id == id) return i;
        }
        return layout_.controlCount;
    }

    // Indices of the radio buttons from firstId up to the next control that starts a group.
    std::vector<size_t> RadioGroup(int firstId) const {
        std::vector<size_t> group;
        const size_t first = IndexOf(firstId);
        for (size_t i = first; i < layout_.controlCount; ++i) {
            const ControlEntry& control = layout_.controls[i];
            if (i != first && control.groupStart) break;
            if (control.kind == ControlKind::RadioButton) group.push_back(i);
        }
        return group;
    }

    std::string SelectedRadioText(size_t first) const {
        for (size_t i : RadioGroup(layout_.controls[first].id)) {
            if (states_[i].checked) return WithoutMnemonic(states_[i].text.c_str());
        }
        return "(none)";
    }

    // The innermost frame around the display, then its label: the one just above it, or else the
    // nearest one to its left on the same row.
    std::string DisplayName(size_t index) const {
        const ControlEntry& d = layout_.controls[index];
        const ControlEntry* frame = nullptr;
        const ControlEntry* above = nullptr;
        const ControlEntry* left = nullptr;
        for (size_t i = 0; i < layout_.controlCount; ++i) {
            const ControlEntry& c = layout_.controls[i];
            if (c.kind == ControlKind::GroupBox && Inside(d, c)) {
                if (frame == nullptr || c.cx * c.cy < frame->cx * frame->cy) frame = &c;
            } else if (c.kind == ControlKind::Label) {
                const bool overlapsColumn = c.x < d.x + d.cx && d.x < c.x + c.cx;
                const bool overlapsRow = c.y < d.y + d.cy && d.y < c.y + c.cy;
                const int gapAbove = d.y - (c.y + c.cy);
                if (overlapsColumn && gapAbove >= 0 && gapAbove <= 4) {
                    above = &c;
                } else if (overlapsRow && c.x + c.cx <= d.x && (left == nullptr || c.x > left->x)) {
                    left = &c;
                }
            }
        }
        const ControlEntry* label = above != nullptr ? above : left;
        std::string name = frame != nullptr ? WithoutMnemonic(frame->text) : std::string();
        if (label != nullptr) {
            if (!name.empty()) name += ' ';
            name += WithoutMnemonic(label->text);
        }
        return name.empty() ? "Display " + std::to_string(d.id) : name;
    }

    bool ClickButton(const std::string& word, DialogHandler& handler) {
        for (size_t i = 0; i < layout_.controlCount; ++i) {
            const ControlEntry& control = layout_.controls[i];
            if (control.kind != ControlKind::PushButton) continue;
            std::string text = WithoutMnemonic(control.text);
            for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (text == word) {
                if (!control.hidden && states_[i].enabled) handler.OnCommand(*this, control.id);
                return true;
            }
        }
        return false;
    }

    bool SelectMode(const std::string& argument, DialogHandler& handler) {
        size_t first = 0;
        while (first < layout_.controlCount && layout_.controls[first].kind != ControlKind::RadioButton) ++first;
        if (first == layout_.controlCount) return false;
        const int firstId = layout_.controls[first].id;
        if (argument == "none") {
            // Not a click: the user cannot clear a radio group, only the script can.
            SetRadioSelection(firstId, -1);
            return true;
        }
        const std::vector<size_t> group = RadioGroup(firstId);
        if (argument.size() != 1 || argument[0] < '0' || argument[0] > '9') return false;
        const size_t position = static_cast<size_t>(argument[0] - '0');
        if (position >= group.size()) return false;
        const size_t i = group[position];
        if (layout_.controls[i].hidden || !states_[i].enabled) return true;
        SetRadioSelection(firstId, static_cast<int>(position));
        handler.OnCommand(*this, layout_.controls[i].id);
        return true;
    }

    bool ClickCheckBox(const char* textPart, const std::string& argument, DialogHandler& handler) {
        if (argument != "on" && argument != "off") return false;
        for (size_t i = 0; i < layout_.controlCount; ++i) {
            const ControlEntry& control = layout_.controls[i];
            if (control.kind != ControlKind::CheckBox || std::string(control.text).find(textPart) == std::string::npos) {
                continue;
            }
            const bool wanted = argument == "on";
            if (control.hidden || !states_[i].enabled || states_[i].checked == wanted) return true;
            states_[i].checked = wanted;
            handler.OnCommand(*this, control.id);
            return true;
        }
        return false;
    }

    const DialogLayout& layout_;
    std::vector<ControlState> states_;
    std::string caption_;
    bool ended_ = false;
    int32_t code_ = DIALOG_CANCEL;
};

}  // namespace

int32_t ShowModalDialog(const DialogLayout& layout, DialogHandler& handler) noexcept {
    try {
        if (TakeDialogFailure()) {
            return DIALOG_FAILED;
        }
        HeadlessWindow window(layout);
        handler.OnInitDialog(window);
        if (window.Ended()) {
            return window.Code();
        }
        ReportDialogDisplays(window.Displays());
        std::string action;
        while (!window.Ended() && TakeDialogAction(action)) {
            if (!window.Play(action, handler)) {
                std::fprintf(stderr, "dialog: ignoring unknown action '%s'\n", action.c_str());
            }
        }
        if (!window.Ended()) {
            handler.OnCancel(window);  // the user closes the window with its close box
        }
        return window.Ended() ? window.Code() : DIALOG_CANCEL;
    } catch (...) {
        return DIALOG_FAILED;
    }
}

}  // namespace platform

// The real Win32 dialog built from a layout table, driven by posted clicks and keys.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog_toolkit.h"

namespace {

using namespace platform;

constexpr int kFirstMode = 101, kSecondMode = 102, kSpindle = 103, kOkButton = 104, kRefresh = 105, kDisplay = 106,
              kHiddenCheck = 107;
constexpr const char* kCaption = "trelvo dialog test";

constexpr ControlEntry kControls[] = {
    {ControlKind::RadioButton, "&First", 10, 10, 60, 10, false, true, kFirstMode},
    {ControlKind::RadioButton, "&Second", 10, 22, 60, 10, false, false, kSecondMode},
    {ControlKind::CheckBox, "&Spindle", 10, 36, 60, 10, false, true, kSpindle},
    {ControlKind::CheckBox, "&Hidden", 80, 36, 60, 10, true, false, kHiddenCheck},
    {ControlKind::GroupBox, "Frame", 5, 50, 150, 30, false, false, kStaticId},
    {ControlKind::Label, "line one\nline two", 10, 60, 60, 16, false, false, kStaticId},
    {ControlKind::Display, "", 80, 60, 60, 14, false, false, kDisplay},
    {ControlKind::PushButton, "OK", 10, 85, 50, 14, false, false, kOkButton},
    {ControlKind::PushButton, "Refresh", 70, 85, 50, 14, false, false, kRefresh},
};
constexpr DialogLayout kLayout{"template caption", "MS Shell Dlg", 8, 170, 110, kControls, std::size(kControls)};

class RecordingHandler final : public DialogHandler {
public:
    void OnInitDialog(DialogWindow& w) noexcept override {
        w.SetCaption(kCaption);
        w.SetRadioSelection(kFirstMode, 1);
        w.SetText(kDisplay, "Output #1");
        w.EnableControl(kRefresh, true);
        initSelection = w.GetRadioSelection(kFirstMode);
        initDisplay = w.GetText(kDisplay);
        unknownIdText = w.GetText(999);
    }
    void OnCommand(DialogWindow& w, int id) noexcept override {
        commands.push_back(id);
        if (id == kOkButton) Close(w, DIALOG_OK);
        if (id == kRefresh) Close(w, 4);
    }
    void OnOk(DialogWindow& w) noexcept override {
        events.push_back("ok");
        Close(w, DIALOG_OK);
    }
    void OnCancel(DialogWindow& w) noexcept override {
        events.push_back("cancel");
        Close(w, DIALOG_CANCEL);
    }

    void Close(DialogWindow& w, int32_t code) {
        spindleAtClose = w.GetCheck(kSpindle);
        selectionAtClose = w.GetRadioSelection(kFirstMode);
        w.EndDialog(code);
    }

    int initSelection = -2;
    std::string initDisplay;
    std::string unknownIdText = "unset";
    std::vector<int> commands;
    std::vector<std::string> events;
    bool spindleAtClose = false;
    int selectionAtClose = -2;
};

HWND WaitForDialog() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    HWND dialog = nullptr;
    // The caption is set while the dialog initialises, before it is shown; a child of a window not
    // yet shown reads as invisible, so wait for the dialog itself to be on screen.
    while (((dialog = FindWindowA("#32770", kCaption)) == nullptr || !IsWindowVisible(dialog)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return dialog;
}

DWORD WINAPI RunFunction(LPVOID f) {
    (*static_cast<std::function<void()>*>(f))();
    return 0;
}

// Shows the dialog on this thread while `user` acts on it from another, as a person would.
int32_t ShowAndDrive(RecordingHandler& handler, const std::function<void(HWND)>& user) {
    HWND seen = nullptr;
    // A thread of Windows' own: the Windows builds' C++ runtime has no std::thread.
    std::function<void()> drive = [&] {
        seen = WaitForDialog();
        if (seen != nullptr) user(seen);
    };
    const HANDLE driver = CreateThread(nullptr, 0, RunFunction, &drive, 0, nullptr);
    EXPECT_NE(driver, nullptr);
    const int32_t code = ShowModalDialog(kLayout, handler);
    WaitForSingleObject(driver, INFINITE);
    CloseHandle(driver);
    EXPECT_NE(seen, nullptr) << "the dialog never appeared under its new caption";
    return code;
}

void Key(HWND dialog, int controlId, WPARAM key) {
    HWND control = GetDlgItem(dialog, controlId);
    PostMessageA(control, WM_KEYDOWN, key, 1);
    PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

void Click(HWND dialog, int controlId) { PostMessageA(GetDlgItem(dialog, controlId), BM_CLICK, 0, 0); }

TEST(Win32Dialog, ClicksReachTheHandlerAndItsCloseCodeIsReturned) {
    RecordingHandler handler;
    const int32_t code = ShowAndDrive(handler, [](HWND dialog) {
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kSpindle)));
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, kHiddenCheck))) << "hidden in the table";
        EXPECT_EQ(GetWindowLongA(dialog, GWL_STYLE) & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
        Click(dialog, kSpindle);
        Click(dialog, kFirstMode);
        Click(dialog, kOkButton);
    });
    EXPECT_EQ(code, DIALOG_OK);
    EXPECT_EQ(handler.initSelection, 1);
    EXPECT_EQ(handler.initDisplay, "Output #1");
    EXPECT_EQ(handler.unknownIdText, "");
    EXPECT_EQ(handler.commands, (std::vector<int>{kSpindle, kFirstMode, kOkButton}));
    EXPECT_TRUE(handler.spindleAtClose) << "the check box's click had changed its state";
    EXPECT_EQ(handler.selectionAtClose, 0) << "the auto radio button cleared its neighbour";
}

TEST(Win32Dialog, RefreshCodeComesBackUnchanged) {
    RecordingHandler handler;
    EXPECT_EQ(ShowAndDrive(handler, [](HWND dialog) { Click(dialog, kRefresh); }), 4);
}

TEST(Win32Dialog, EnterIsOkAndEscapeAndCloseBoxAreCancel) {
    const struct {
        const char* name;
        std::function<void(HWND)> act;
        int32_t code;
        const char* event;
    } cases[] = {
        {"enter", [](HWND d) { Key(d, kSecondMode, VK_RETURN); }, DIALOG_OK, "ok"},
        {"escape", [](HWND d) { Key(d, kSecondMode, VK_ESCAPE); }, DIALOG_CANCEL, "cancel"},
        {"close box", [](HWND d) { PostMessageA(d, WM_CLOSE, 0, 0); }, DIALOG_CANCEL, "cancel"},
    };
    for (const auto& c : cases) {
        RecordingHandler handler;
        EXPECT_EQ(ShowAndDrive(handler, c.act), c.code) << c.name;
        EXPECT_EQ(handler.events, std::vector<std::string>{c.event}) << c.name;
        EXPECT_TRUE(handler.commands.empty()) << c.name;
    }
}

}  // namespace

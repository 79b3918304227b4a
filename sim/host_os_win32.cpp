// The simulator's system layer on Windows: LoadLibrary, COM, and a user at the real configuration dialog.
#include "host_os.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace sim {

const char* const kModuleFileName = "TRELVO-40.dll";

void PrepareHostProcess() {
    // The host is a GUI program with COM up on its main thread; the plug-in's profile store needs it.
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) throw std::runtime_error("cannot initialise COM");
}

namespace {

std::string SystemMessage(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text ? text : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) message.pop_back();
    return message;
}

}  // namespace

void* OpenModule(const std::string& path) {
    // A bare name means the file here, not one somewhere on the DLL search path.
    const std::string file = path.find_first_of("/\\:") == std::string::npos ? ".\\" + path : path;
    HMODULE module = LoadLibraryA(file.c_str());
    if (!module) throw std::runtime_error(SystemMessage(GetLastError()));
    return reinterpret_cast<void*>(module);
}

void* ModuleSymbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string ExecutableDir() {
    char buffer[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return {};
    return std::filesystem::path(buffer).parent_path().string();
}

namespace {

constexpr const char* kFolderPrefix = "trelvo-sim-";

// A running simulator keeps its folder open, so a long run is never taken for a stale one.
HANDLE heldFolder = INVALID_HANDLE_VALUE;

HANDLE OpenFolder(const std::string& path, DWORD share) {
    return CreateFileA(path.c_str(), FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// %TEMP% is the user's own; a folder nobody holds that is older than an hour was left by a killed run.
void RemoveStaleFolders(const std::filesystem::path& temp) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const fs::directory_entry& entry : fs::directory_iterator(temp, ec)) {
        if (entry.path().filename().string().rfind(kFolderPrefix, 0) != 0 || !entry.is_directory(ec)) continue;
        if (entry.last_write_time(ec) > cutoff || ec) continue;
        const HANDLE alone = OpenFolder(entry.path().string(), 0);
        if (alone == INVALID_HANDLE_VALUE) continue;
        CloseHandle(alone);
        fs::remove_all(entry.path(), ec);
    }
}

std::atomic<int> pendingInterrupt{0};

// Runs on a thread of its own; the main thread stops at its next cycle.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    pendingInterrupt = static_cast<int>(event) + 1;
    return TRUE;
}

}  // namespace

std::string CreateTempFolder() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    RemoveStaleFolders(dir);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = kFolderPrefix + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount() + attempt);
        const std::string path = (dir / name).string();
        if (CreateDirectoryA(path.c_str(), nullptr)) {
            if (heldFolder != INVALID_HANDLE_VALUE) CloseHandle(heldFolder);
            heldFolder = OpenFolder(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            return path;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

void HoldInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int PendingInterrupt() { return pendingInterrupt; }

void EndByInterrupt(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }

namespace {

// The configuration dialog: a visible dialog window of this process with radio buttons (a warning
// box, also a dialog window, has none).
struct DialogSearch {
    HWND found = nullptr;
};

bool IsRadio(HWND control) {
    const LONG type = GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON;
}

bool IsCheckBox(HWND control) {
    const LONG type = GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_AUTOCHECKBOX || type == BS_CHECKBOX;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// The children in creation order, which is the layout's tab order.
std::vector<HWND> Children(HWND dialog) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    return children;
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM parameter) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || ClassOf(window) != "#32770" || !IsWindowVisible(window)) return TRUE;
    for (HWND child : Children(window)) {
        if (ClassOf(child) == "Button" && IsRadio(child)) {
            reinterpret_cast<DialogSearch*>(parameter)->found = window;
            return FALSE;
        }
    }
    return TRUE;
}

HWND FindConfigDialog() {
    DialogSearch search;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string Plain(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '&') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool Usable(HWND control) { return IsWindowVisible(control) && IsWindowEnabled(control); }

// A click as the dialog manager reports it: the button's state first (auto buttons), then BN_CLICKED.
void Click(HWND dialog, HWND control) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

// Plays one action on the dialog.
void Play(HWND dialog, const std::string& action) {
    std::istringstream words(action);
    std::string verb, argument;
    words >> verb >> argument;
    const std::vector<HWND> children = Children(dialog);
    if (verb == "enter") {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else if (verb == "escape") {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else if (verb == "close") {
        SendMessageA(dialog, WM_CLOSE, 0, 0);
    } else if (verb == "ok" || verb == "cancel" || verb == "refresh") {
        for (HWND c : children) {
            if (ClassOf(c) == "Button" && !IsRadio(c) && !IsCheckBox(c) && Plain(TextOf(c)) == verb) {
                if (Usable(c)) Click(dialog, c);
                break;
            }
        }
    } else if (verb == "mode") {
        std::vector<HWND> radios;
        for (HWND c : children) {
            if (ClassOf(c) == "Button" && IsRadio(c)) radios.push_back(c);
        }
        const size_t position = argument.size() == 1 && std::isdigit(static_cast<unsigned char>(argument[0]))
                                    ? static_cast<size_t>(argument[0] - '0')
                                    : radios.size();
        if (argument == "none" || position < radios.size()) {
            const bool selectable = argument == "none" || Usable(radios[position]);
            if (selectable) {
                for (size_t i = 0; i < radios.size(); ++i) {
                    SendMessageA(radios[i], BM_SETCHECK, i == position ? BST_CHECKED : BST_UNCHECKED, 0);
                }
                // Clearing the group is not a click: a user cannot do it, only a script.
                if (argument != "none") Click(dialog, radios[position]);
            }
        }
    } else if (verb == "spindle" || verb == "demo") {
        for (HWND c : children) {
            if (ClassOf(c) != "Button" || !IsCheckBox(c) || Plain(TextOf(c)).find(verb) == std::string::npos) continue;
            const bool wanted = argument == "on";
            const bool checked = SendMessageA(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
            if (Usable(c) && checked != wanted && (argument == "on" || argument == "off")) {
                SendMessageA(c, BM_SETCHECK, wanted ? BST_CHECKED : BST_UNCHECKED, 0);
                Click(dialog, c);
            }
            break;
        }
    }
}

// The actions one by one; "mode", "spindle" and "demo" take the next word as their argument.
std::vector<std::string> SplitActions(const std::string& actions) {
    std::vector<std::string> out;
    std::istringstream in(actions);
    std::string word;
    while (in >> word) {
        std::string argument;
        if ((word == "mode" || word == "spindle" || word == "demo") && in >> argument) word += " " + argument;
        out.push_back(word);
    }
    return out;
}

// The user at the dialog: plays the actions on each showing until told to stop.
struct DialogUser {
    std::vector<std::string> queue;
    std::atomic<bool> done{false};

    static DWORD WINAPI Run(LPVOID self) {
        static_cast<DialogUser*>(self)->Act();
        return 0;
    }
    void Act() {
        size_t next = 0;
        HWND shown = nullptr;
        while (!done.load()) {
            const HWND dialog = FindConfigDialog();
            if (!dialog || dialog == shown) {  // none yet, or still closing from the last action
                Sleep(5);
                continue;
            }
            while (next < queue.size() && IsWindow(dialog) && IsWindowVisible(dialog)) Play(dialog, queue[next++]);
            // A showing with no action left is closed with the close box.
            if (IsWindow(dialog) && IsWindowVisible(dialog)) SendMessageA(dialog, WM_CLOSE, 0, 0);
            shown = dialog;
        }
    }
};

}  // namespace

struct HostLock::System {
    CRITICAL_SECTION section;
};
HostLock::HostLock() : system_(std::make_unique<System>()) { InitializeCriticalSection(&system_->section); }
HostLock::~HostLock() { DeleteCriticalSection(&system_->section); }
void HostLock::lock() { EnterCriticalSection(&system_->section); }
void HostLock::unlock() { LeaveCriticalSection(&system_->section); }

bool DriveConfigDialog(VoidEntryFn config, const std::string& actions) {
    DialogUser user;
    user.queue = SplitActions(actions);
    // The dialog runs modally on this thread inside config(); the user is a second thread.
    const HANDLE thread = CreateThread(nullptr, 0, &DialogUser::Run, &user, 0, nullptr);
    if (thread == nullptr) throw std::runtime_error("cannot start the thread that drives the dialog");
    try {
        config();
    } catch (...) {
    }
    user.done = true;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}

}  // namespace sim

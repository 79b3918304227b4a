// The simulator's system layer on Windows: LoadLibrary, COM, and a user at the real configuration dialog.
#include "host_os.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <vector>

#include "platform/file_io.h"
#include "platform/win32/replace_file.h"

namespace sim {

const char* const kModuleFileName = "TRELVO-40.dll";

namespace {

std::wstring Wide(const std::string& text, UINT codePage = CP_UTF8) {
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

// The text in the ANSI code page; false when a letter has no place in it (no best fit: "e" for "ě"
// would name another file).
bool ToAnsi(const std::wstring& wide, std::string& ansi) {
    BOOL lost = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr,
                                      0, nullptr, &lost);
    ansi.assign(static_cast<size_t>(n), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), ansi.data(), n,
                            nullptr, &lost);
    }
    return !lost && (n > 0 || wide.empty());
}

std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text ? Utf8(text) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Standard output or error: UTF-16 to a console, the UTF-8 bytes to a file or pipe.
class ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(DWORD which) : handle_(GetStdHandle(which)), console_(IsConsole(handle_)) {}

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) pending_ += static_cast<char>(c);
        if (pending_.size() >= 4096) Flush();
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, static_cast<size_t>(n));
        if (pending_.size() >= 4096) Flush();
        return n;
    }
    int sync() override { return Flush() ? 0 : -1; }

private:
    bool Flush() {
        if (pending_.empty()) return true;
        if (!console_) {
            // Windows' line ends, as a text-mode stream writes them.
            std::string bytes;
            for (const char c : pending_) bytes += c == '\n' ? "\r\n" : std::string(1, c);
            pending_.clear();
            DWORD written = 0;
            return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
        // A letter split between two writes waits for its last bytes.
        size_t whole = pending_.size();
        for (size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
            const unsigned char c = static_cast<unsigned char>(pending_[pending_.size() - back]);
            if ((c & 0xC0) == 0x80) continue;
            const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back) whole = pending_.size() - back;
            break;
        }
        const std::wstring wide = Wide(pending_.substr(0, whole));
        pending_.erase(0, whole);
        DWORD written = 0;
        return wide.empty() || WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    }

    HANDLE handle_;
    bool console_;
    std::string pending_;
};

}  // namespace

std::vector<std::string> CommandLine(int, char**) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) throw std::runtime_error("cannot read the command line");
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return arguments;
}

void PrepareConsole() {
    // Never freed: the streams flush through them as the process ends.
    std::cout.rdbuf(new ConsoleBuffer(STD_OUTPUT_HANDLE));
    std::cerr.rdbuf(new ConsoleBuffer(STD_ERROR_HANDLE));
}

void PrepareMemory() {}

std::string HostPath(const std::string& utf8) {
    std::string ansi;
    if (!ToAnsi(Wide(utf8), ansi)) {
        throw std::runtime_error("the path " + utf8 + " has letters that this system's code page (" +
                                 std::to_string(GetACP()) + ") cannot hold, so the plug-in could not be given it");
    }
    return ansi;
}

bool HostCanName(const std::string& utf8) {
    std::string ansi;
    return ToAnsi(Wide(utf8), ansi);
}

std::string FromHostPath(const std::string& narrow) { return Utf8(Wide(narrow, CP_ACP)); }

bool CanWrite(const std::string& utf8) {
    const std::wstring wide = Wide(utf8);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    // The access rights decide too; a file another program holds open is still writable.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_ACCESS_DENIED;
    CloseHandle(file);
    return true;
}

int ConsoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!IsConsole(out)) return 0;
    if (!GetConsoleScreenBufferInfo(out, &info)) return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

int ReadFileBytes(const std::string& path, size_t limit, std::string& bytes) {
    bytes.clear();
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return platform::FILEIO_NOT_REGULAR;
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return platform::win32::LastError();
    int error = GetFileType(file) == FILE_TYPE_DISK ? 0 : platform::FILEIO_NOT_REGULAR;
    char buffer[65536];
    while (error == 0) {
        DWORD n = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) error = platform::win32::LastError();
        if (error != 0 || n == 0) break;
        if (bytes.size() + n > limit) error = platform::FILEIO_TOO_LARGE;
        else bytes.append(buffer, n);
    }
    CloseHandle(file);
    if (error != 0) bytes.clear();
    return error;
}

std::string ReadErrorText(int error) {
    return error < 0 ? platform::FileErrorText(error) : SystemMessage(static_cast<DWORD>(error));
}

namespace {

// A free name of the save copies' form beside `target`.
std::wstring SaveCopyBeside(const std::wstring& target) { return Wide(platform::win32::TempName(Utf8(target))); }

constexpr platform::win32::ReplaceCalls<std::wstring> kWide{
    [](const std::wstring& replaced, const std::wstring& replacement, const std::wstring& backup) {
        return ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                            nullptr);
    },
    [](const std::wstring& from, const std::wstring& to) { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH); },
    [](const std::wstring& path) { return DeleteFileW(path.c_str()); },
    [](const std::wstring& path) { return GetFileAttributesW(path.c_str()); },
    [](const std::wstring& path, DWORD attributes) { return SetFileAttributesW(path.c_str(), attributes); },
    SaveCopyBeside,
};

int WriteCopy(HANDLE file, const std::string& bytes) {
    const int error = platform::win32::WriteAll(file, bytes.data(), bytes.size());
    if (error != 0) return error;
    return FlushFileBuffers(file) ? 0 : platform::win32::LastError();
}

}  // namespace

void CheckOutputPath(const std::string&) {}

// As the plug-in's save, with the wide calls: ReplaceFileW carries the security descriptor over.
void ReplaceUserFile(const std::string& path, const std::string& bytes) {
    const std::wstring target = Wide(path);
    const auto check = [&](int error) {
        if (error != 0) throw std::runtime_error("cannot write " + path + ": " + ReadErrorText(error));
    };
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) check(platform::FILEIO_NOT_REGULAR);
        if (!CanWrite(path)) check(platform::FILEIO_READ_ONLY);
    }
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = SaveCopyBeside(target);
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const int error = platform::win32::LastError();
            if (error != ERROR_FILE_EXISTS) check(error);
        }
    }
    if (file == INVALID_HANDLE_VALUE) check(ERROR_FILE_EXISTS);
    int error = WriteCopy(file, bytes);
    CloseHandle(file);
    if (error == 0) error = platform::win32::ReplaceWithBackup(temp, target, kWide);
    if (error != 0) DeleteFileW(temp.c_str());
    check(error);
}

bool SetFpuPrecision(int bits, std::string& said) {
#if defined(__i386__)
    // The x87's precision field (bits 8-9: 2 is 53 bits, 3 is 64) set directly: _controlfp would add
    // an import to the program, whose imports must all be Windows XP's.
    uint16_t control = 0;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    control = static_cast<uint16_t>((control & ~0x300u) | (bits == 64 ? 0x300u : 0x200u));
    __asm__ volatile("fldcw %0" : : "m"(control));
    said = bits == 64 ? "host: x87 at 64-bit extended precision (--x87-precision 64)"
                      : "host: x87 at 53-bit precision, as an MSVC-built host runs its plug-ins";
    return bits == 53 || bits == 64;
#else
    said.clear();
    return bits == 53;
#endif
}

void PrepareHostProcess() {
    // The host is a GUI program with COM up on its main thread; the plug-in's profile store needs it.
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) throw std::runtime_error("cannot initialise COM");
}

void* OpenModule(const std::string& path) {
    // A bare name means the file here, not one somewhere on the DLL search path.
    const std::string file = path.find_first_of("/\\:") == std::string::npos ? ".\\" + path : path;
    HMODULE module = LoadLibraryW(Wide(file).c_str());
    if (!module) {
        // Some of the system's texts name the file as %1 ("Bad EXE format for %1"): the file goes there.
        std::string message = SystemMessage(GetLastError());
        for (size_t at = 0; (at = message.find("%1", at)) != std::string::npos; at += path.size())
            message.replace(at, 2, path);
        throw std::runtime_error(message);
    }
    return reinterpret_cast<void*>(module);
}

void* ModuleSymbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string ExecutableDir() {
    wchar_t buffer[32768] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    if (n == 0 || n >= 32768) return {};
    return PathText(std::filesystem::path(buffer).parent_path());
}

namespace {

constexpr const wchar_t* kFolderPrefix = L"trelvo-sim-";

// A running simulator keeps its folder open, so a long run is never taken for a stale one.
HANDLE heldFolder = INVALID_HANDLE_VALUE;

HANDLE OpenFolder(const std::wstring& path, DWORD share) {
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// %TEMP% is the user's own; a folder nobody holds that is older than an hour was left by a killed run.
// Names are compared as UTF-16: the folder may hold files whose names the code page cannot hold.
void RemoveStaleFolders(const std::filesystem::path& temp) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const fs::directory_entry& entry : fs::directory_iterator(temp, ec)) {
        if (entry.path().filename().wstring().rfind(kFolderPrefix, 0) != 0 || !entry.is_directory(ec)) continue;
        if (entry.last_write_time(ec) > cutoff || ec) continue;
        const HANDLE alone = OpenFolder(entry.path().wstring(), 0);
        if (alone == INVALID_HANDLE_VALUE) continue;
        CloseHandle(alone);
        fs::remove_all(entry.path(), ec);
    }
}

// The temporary folder, as a path the plug-in can be given: its short name when the long one has
// letters the code page cannot hold.
std::wstring HostTempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("cannot find the temporary folder");
    std::wstring folder(buffer, n);
    std::string ansi;
    if (ToAnsi(folder, ansi)) return folder;
    wchar_t shortName[MAX_PATH + 1] = {};
    const DWORD m = GetShortPathNameW(folder.c_str(), shortName, MAX_PATH + 1);
    if (m > 0 && m <= MAX_PATH && ToAnsi(std::wstring(shortName, m), ansi)) return std::wstring(shortName, m);
    throw std::runtime_error("the temporary folder " + Utf8(folder) + " has letters that this system's code page (" +
                             std::to_string(GetACP()) +
                             ") cannot hold, and no short name without them; the plug-in, which Mach3 gives paths in "
                             "that code page, could not open its profile there. Set TEMP to a folder such as C:\\Temp "
                             "and run the check again");
}

std::atomic<int> pendingInterrupt{0};

// Runs on a thread of its own; the main thread stops at its next cycle. The system ends the process
// as soon as this returns from a closed console, a logoff or a shutdown: it waits instead, for the
// main thread to remove the temporary folder and end the process (the system allows it some seconds).
BOOL WINAPI OnConsoleEvent(DWORD event) {
    pendingInterrupt = static_cast<int>(event) + 1;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

std::string CreateTempFolder() {
    const std::wstring dir = HostTempFolder();
    RemoveStaleFolders(std::filesystem::path(dir));
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring path = (std::filesystem::path(dir) / (kFolderPrefix + std::to_wstring(GetCurrentProcessId()) +
                                                               L"-" + std::to_wstring(GetTickCount() + attempt)))
                                      .wstring();
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            if (heldFolder != INVALID_HANDLE_VALUE) CloseHandle(heldFolder);
            heldFolder = OpenFolder(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            return Utf8(path);
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

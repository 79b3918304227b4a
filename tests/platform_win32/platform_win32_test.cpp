// The Win32 platform layer against the real system: warning boxes, the loaded module, files, sockets.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <float.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "mach3/host_blocks.h"
#include "host_os.h"
#include "mach3/profile/xml_profile.h"
#include "platform/file_io.h"
#include "platform/message_box.h"
#include "platform/module_file.h"
#include "platform/module_startup.h"
#include "platform/win32/syscalls.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct BoxSearch {
    const char* caption;
    std::vector<HWND> found;
    bool captionStartsWith = false;  // the caption goes on (the dialog's names the version)
};

BOOL CALLBACK CollectBox(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    char className[64] = {};
    char title[256] = {};
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, title, sizeof title);
    const size_t length = search->captionStartsWith ? std::strlen(search->caption) : sizeof title;
    if (std::strcmp(className, "#32770") == 0 && std::strncmp(title, search->caption, length) == 0) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> Boxes(const char* caption) {
    BoxSearch search{caption, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits up to five seconds for `count` boxes with this caption.
std::vector<HWND> WaitForBoxes(const char* caption, size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::vector<HWND> boxes = Boxes(caption);
    while (boxes.size() != count && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        boxes = Boxes(caption);
    }
    return boxes;
}

std::string BoxText(HWND box) {
    char text[512] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the message's static control
    return text;
}

void CloseBoxes(const char* caption) {
    for (HWND box : Boxes(caption)) PostMessageA(box, WM_CLOSE, 0, 0);
    WaitForBoxes(caption, 0);
}

TEST(WarningBox, OpensOnItsOwnThreadAndCallerReturnsAtOnce) {
    const char* caption = "trelvo box test";
    const auto start = Clock::now();
    platform::ShowMessageBoxAsync(caption, "first warning");
    platform::ShowMessageBoxAsync(caption, "second warning");
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

    const std::vector<HWND> boxes = WaitForBoxes(caption, 2);
    ASSERT_EQ(boxes.size(), 2u) << "both boxes stand open at once";
    std::vector<std::string> texts{BoxText(boxes[0]), BoxText(boxes[1])};
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"first warning", "second warning"}));
    for (HWND box : boxes) {
        EXPECT_NE(GetWindowThreadProcessId(box, nullptr), GetCurrentThreadId());
        // MB_ICONEXCLAMATION with a single OK button.
        EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
        EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
    }
    CloseBoxes(caption);
    EXPECT_TRUE(Boxes(caption).empty());
}

TEST(WarningBox, TextsAreCopiedBeforeTheCallerReturns) {
    const char* caption = "trelvo copy test";
    {
        std::string text = "volatile text";
        platform::ShowMessageBoxAsync(caption, text.c_str());
        text.assign(text.size(), 'x');
    }
    const std::vector<HWND> boxes = WaitForBoxes(caption, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(BoxText(boxes[0]), "volatile text");
    CloseBoxes(caption);
}

// The host may unload the plug-in while a warning stands open: the box keeps the module mapped
// until it is closed, and only then does the module go.
class LoadedModuleTest : public testsupport::PluginTest {};

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

TEST_F(LoadedModuleTest, ModuleOutlivesHostReferenceWhileBoxIsOpen) {
    testsupport::WriteFile(profile_, testsupport::ProfileWithSettings({{"ExpandedMode", "1"}}));
    HMODULE module = LoadLibraryA(TRELVO_MODULE_FILE);
    ASSERT_NE(module, nullptr) << TRELVO_MODULE_FILE;
    auto setProName = Entry<SetProNameFn>(module, "SetProName");
    auto initControl = Entry<InitControlFn>(module, "InitControl");
    auto postInit = Entry<VoidEntryFn>(module, "PostInitControl");
    auto stopPlug = Entry<VoidEntryFn>(module, "StopPlug");
    ASSERT_TRUE(setProName && initControl && postInit && stopPlug);

    const std::string profile = profile_.string();
    EXPECT_STREQ(setProName(profile.c_str()), "TRELVO-40 and 41 Quorlane Inc.");
    engine_.inputs[22] = HostInputSignal{1, 15, 8, 0, 0};  // PROBE on an expanded port
    initControl(reinterpret_cast<intptr_t>(&engine_), 0, reinterpret_cast<intptr_t>(&state_), 0);
    postInit();
    stopPlug();

    const std::vector<HWND> boxes = WaitForBoxes("TRELVO-40", 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(BoxText(boxes[0]).find("PROBE"), std::string::npos) << BoxText(boxes[0]);

    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA("TRELVO-40.dll"), module) << "the box's thread holds the module";
    CloseBoxes("TRELVO-40");
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (GetModuleHandleA("TRELVO-40.dll") != nullptr && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(GetModuleHandleA("TRELVO-40.dll"), nullptr) << "the thread's reference was dropped";
}

// A host built with MSVC runs at 53-bit x87 precision: the plug-in must leave its control word as
// it found it, from loading through every entry point (Config's dialog closed as a user would).
DWORD WINAPI CancelConfigDialog(LPVOID) {
    for (int i = 0; i < 250; ++i) {
        BoxSearch search{"TRELVO-40/41 Configuration", {}, true};
        EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found.empty() && IsWindowVisible(search.found[0])) {
            PostMessageA(search.found[0], WM_COMMAND, IDCANCEL, 0);
            return 0;
        }
        Sleep(20);
    }
    return 1;
}

TEST_F(LoadedModuleTest, EveryEntryPointLeavesTheHostsControlWord) {
    testsupport::WriteFile(profile_, testsupport::ProfileWithSettings({{"EnableSpindle", "1"}}));
#if defined(__i386__)
    const unsigned int before = _controlfp(0, 0);
    _controlfp(_PC_53, _MCW_PC);
#endif
    const unsigned int host = _controlfp(0, 0);
#if defined(__i386__)
    ASSERT_EQ(host & _MCW_PC, static_cast<unsigned int>(_PC_53));
#endif
    HMODULE module = LoadLibraryA(TRELVO_MODULE_FILE);
    ASSERT_NE(module, nullptr) << TRELVO_MODULE_FILE;
    EXPECT_EQ(_controlfp(0, 0), host) << "after loading";
    const std::string profile = profile_.string();
    state_.m_SpindleOn = 1;
    state_.SpinDir = 1;
    state_.SpindleFM.ratio = 0.00048875855327468231;  // a rounding point's neighbour
    const std::vector<std::pair<const char*, std::function<void(void*)>>> calls = {
        {"SetProName", [&](void* f) { reinterpret_cast<SetProNameFn>(f)(profile.c_str()); }},
        {"InitControl",
         [&](void* f) {
             reinterpret_cast<InitControlFn>(f)(reinterpret_cast<intptr_t>(&engine_), 0, reinterpret_cast<intptr_t>(&state_), 0);
         }},
        {"PostInitControl", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"Update", [](void* f) { for (int i = 0; i < 400; ++i) reinterpret_cast<VoidEntryFn>(f)(); }},
        {"Notify", [](void* f) { reinterpret_cast<NotifyFn>(f)(0); }},
        {"Config",
         [](void* f) {
             const HANDLE user = CreateThread(nullptr, 0, CancelConfigDialog, nullptr, 0, nullptr);
             reinterpret_cast<VoidEntryFn>(f)();
             WaitForSingleObject(user, INFINITE);
             DWORD shown = 1;
             GetExitCodeThread(user, &shown);
             CloseHandle(user);
             EXPECT_EQ(shown, 0u) << "the configuration dialog never appeared";
         }},
        {"SetDoButton", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"SetGetMenuRange", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"SetSetDRO", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"SetGetDRO", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"SetGetLED", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"SetSetLED", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"SetCode", [](void* f) { reinterpret_cast<SetCallbackFn>(f)(nullptr); }},
        {"DoDwell", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"Reset", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"JogOn", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"JogOff", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"Purge", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"Probe", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"Home", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
        {"StopPlug", [](void* f) { reinterpret_cast<VoidEntryFn>(f)(); }},
    };
    for (const auto& [name, call] : calls) {
        void* entry = reinterpret_cast<void*>(GetProcAddress(module, name));
        ASSERT_NE(entry, nullptr) << name;
        call(entry);
        EXPECT_EQ(_controlfp(0, 0), host) << "after " << name;
    }
    CloseBoxes("TRELVO-40");
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(_controlfp(0, 0), host) << "after unloading";
#if defined(__i386__)
    _controlfp(before, _MCW_PC);
#endif
}

TEST(ModuleFile, NamesTheFileHoldingTheCode) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    EXPECT_EQ(platform::ModuleFilePath(), exe);
    EXPECT_EQ(platform::FileStem(platform::ModuleFilePath()), "test_platform_win32");
}

class FileHooksTest : public testsupport::PluginTest {};

// Two minutes back, as a file left by a save long past.
void Backdate(const fs::path& path) {
    HANDLE file = CreateFileA(path.string().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{};
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= 120ull * 10000000ull;
    const FILETIME past{t.LowPart, t.HighPart};
    SetFileTime(file, nullptr, nullptr, &past);
    CloseHandle(file);
}

TEST_F(FileHooksTest, TextModeWritesCrLfAndReplaceSwapsFilesWhole) {
    platform::FileIo& io = platform::fileIo();
    const fs::path fresh = dir_ / "fresh.txt";
    void* file = nullptr;
    ASSERT_EQ(io.openLog(fresh.string().c_str(), "", nullptr, &file), 0);
    EXPECT_EQ(io.write(file, "a\nb\n", 4), 4u);
    EXPECT_EQ(io.close(file), 0);
    EXPECT_EQ(testsupport::ReadFile(fresh), "a\r\nb\r\n");

    const fs::path target = dir_ / "target.txt";
    testsupport::WriteFile(target, "old");
    EXPECT_EQ(io.replace(fresh.string().c_str(), target.string().c_str()), 0);
    EXPECT_EQ(testsupport::ReadFile(target), "a\r\nb\r\n");
    EXPECT_FALSE(fs::exists(fresh));

    EXPECT_NE(io.replace(fresh.string().c_str(), target.string().c_str()), 0) << "source is gone";
    EXPECT_EQ(testsupport::ReadFile(target), "a\r\nb\r\n");
    platform::FileIdentity made;
    ASSERT_EQ(io.identify(target.string().c_str(), made), 0);
    platform::FileIdentity other = made;
    ++other.index;
    EXPECT_EQ(io.remove(target.string().c_str(), other), platform::FILEIO_NOT_OURS) << "only the file this process made";
    EXPECT_EQ(io.remove(target.string().c_str(), made), 0);
    EXPECT_NE(io.remove(target.string().c_str(), made), 0);
}

// A handle that says it is a reparse point, as a link or junction does on Windows (wine 8 shows none).
namespace reparse {
platform::win32::Syscalls real;
BOOL WINAPI Info(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    const BOOL ok = real.getFileInformationByHandle(handle, info);
    if (ok) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}
}  // namespace reparse

TEST_F(FileHooksTest, TheLogIsOpenedOnlyOverNothingAnEmptyFileOrALog) {
    const struct {
        const char* name;
        const char* before;  // null: no file
        bool reparsePoint;
        int error;
    } cases[] = {
        {"no file", nullptr, false, 0},
        {"an empty file", "", false, 0},
        {"an earlier log", "LOG old lines\r\n", false, 0},
        {"a file of the user's", "notes\r\n", false, platform::FILEIO_NOT_A_LOG},
        {"a reparse point", "LOG old lines\r\n", true, platform::FILEIO_FOREIGN_LINK},
    };
    const fs::path path = dir_ / "trelvo.log";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(path);
        if (c.before != nullptr) testsupport::WriteFile(path, c.before);
        reparse::real = platform::win32::syscalls();
        if (c.reparsePoint) platform::win32::syscalls().getFileInformationByHandle = reparse::Info;
        void* file = nullptr;
        const int error = platform::fileIo().openLog(
            path.string().c_str(), "", +[](const char* start, size_t size) { return size >= 3 && std::memcmp(start, "LOG", 3) == 0; },
            &file);
        platform::win32::ResetSyscalls();
        EXPECT_EQ(error, c.error);
        if (error == 0) {
            ASSERT_NE(file, nullptr);
            platform::fileIo().write(file, "new\n", 4);
            platform::fileIo().close(file);
            EXPECT_EQ(testsupport::ReadFile(path), "new\r\n");
        } else {
            EXPECT_EQ(file, nullptr);
            EXPECT_EQ(testsupport::ReadFile(path), c.before) << "left as it was";
        }
    }
}

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ReplaceFile failing as Microsoft documents each code: what it leaves of the two files, then the code.
namespace replace {
DWORD code = 0;
int movesRefused = 0;  // the next moves of the file layer fail
platform::win32::Syscalls real;

BOOL WINAPI Fail(LPCSTR replaced, LPCSTR, LPCSTR backup, DWORD, LPVOID, LPVOID) {
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT && backup == nullptr) DeleteFileA(replaced);
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        MoveFileExA(replaced, backup != nullptr ? backup : (std::string(replaced) + ".elsewhere").c_str(), 0);
    }
    SetLastError(code);
    return FALSE;
}

BOOL WINAPI Move(LPCSTR from, LPCSTR to, DWORD flags) {
    if (movesRefused > 0 && movesRefused--) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return real.moveFileEx(from, to, flags);
}

BOOL WINAPI DiskFull(HANDLE, LPCVOID, DWORD, LPDWORD done, LPOVERLAPPED) {
    *done = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// Windows refuses write access to a read-only file even to an administrator, and to a file whose
// removal is pending; wine run as root grants both: the lock file's opens get Windows' answer.
BOOL deniedLock = FALSE;
HANDLE WINAPI DenyLockFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                           HANDLE like) {
    const std::string name(path);
    if (name.size() > 12 && name.compare(name.size() - 12, 12, ".trelvo-lock") == 0 && (access & GENERIC_WRITE)) {
        deniedLock = TRUE;
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return real.createFile(path, access, share, security, disposition, flags, like);
}

std::function<fs::path(const fs::path&)> Arrange(const std::string& text, DWORD failure, int refusedMoves) {
    return [=](const fs::path& dir) {
        testsupport::WriteFile(dir / "p.xml", text);
        real = platform::win32::syscalls();
        code = failure;
        movesRefused = refusedMoves;
        platform::win32::syscalls().replaceFile = Fail;
        platform::win32::syscalls().moveFileEx = Move;
        return dir / "p.xml";
    };
}

// The profile as it was, alone in its folder.
std::function<void(const fs::path&)> Untouched(const std::string& text) {
    return [=](const fs::path& p) {
        EXPECT_EQ(testsupport::ReadFile(p), text);
        EXPECT_EQ(Names(p.parent_path()), std::vector<std::string>{"p.xml"});
    };
}
}  // namespace replace

// Another program that writes the profile once, at a chosen hook of a save: a new text, or <A>9</A>
// for <A>1</A> with the last-write time put back, which only the bytes tell.
namespace other {
platform::FileIo real;
fs::path profile;
std::string text;

void Write() {
    if (!text.empty()) {
        testsupport::WriteFile(profile, text);
        text.clear();
        return;
    }
    HANDLE file = CreateFileA(profile.string().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written{};
    GetFileTime(file, nullptr, nullptr, &written);
    std::string bytes = testsupport::ReadFile(profile);
    bytes.replace(bytes.find("<A>1</A>"), 8, "<A>9</A>");
    DWORD n = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
}

// At the last flush of the new copy (the rename path), or at the journal (the write in place).
std::function<fs::path(const fs::path&)> Arrange(const std::string& original, const std::string& theirs, bool inPlace) {
    return [=](const fs::path& dir) {
        testsupport::WriteFile(dir / "p.xml", original);
        if (inPlace) CreateHardLinkA((dir / "alias.xml").string().c_str(), (dir / "p.xml").string().c_str(), nullptr);
        real = platform::fileIo();
        profile = dir / "p.xml";
        text = theirs;
        if (inPlace) {
            platform::fileIo().writePrivate = [](const char* path, const void* data, size_t size, platform::FileIdentity& made) {
                platform::fileIo().writePrivate = real.writePrivate;
                Write();
                return real.writePrivate(path, data, size, made);
            };
        } else {
            platform::fileIo().commit = [](void* file, const platform::FileFacts& like) {
                const int error = real.commit(file, like);
                platform::fileIo().commit = real.commit;
                Write();
                return error;
            };
        }
        return dir / "p.xml";
    };
}
}  // namespace other

// The journals this user's folder holds for the profile `p`.
std::vector<std::string> JournalsOf(const fs::path& p) {
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(folder) / "trelvo", ec)) {
        if (testsupport::ReadFile(entry.path()).find(p.string()) != std::string::npos) found.push_back(entry.path().string());
    }
    return found;
}

// A write of the profile that stops halfway (the first `half` call writes half and reports it, the
// next fails, as on a full disk); every other call is the system's.
namespace halfway {
platform::win32::Syscalls real;
int calls = 0;
int half = 0;

BOOL WINAPI Write(HANDLE file, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    ++calls;
    if (calls == half) return real.writeFile(file, data, size / 2, done, overlapped);
    if (calls == half + 1) {
        *done = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return real.writeFile(file, data, size, done, overlapped);
}
}  // namespace halfway

// The save paths of the Windows file layer, through the profile store.
TEST_F(FileHooksTest, SavePaths) {
    static HANDLE held = INVALID_HANDLE_VALUE;
    const std::string original = "<profile><A>1</A></profile>";
    const struct {
        const char* name;
        std::function<fs::path(const fs::path& dir)> setup;
        int expected;  // the save's result: 0 or the reason it was refused
        std::function<void(const fs::path& path)> check;
    } cases[] = {
        {"read-only attribute refused",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             SetFileAttributesA((dir / "p.xml").string().c_str(), FILE_ATTRIBUTE_READONLY);
             return dir / "p.xml";
         },
         platform::FILEIO_READ_ONLY,
         [](const fs::path& p) {
             EXPECT_TRUE(GetFileAttributesA(p.string().c_str()) & FILE_ATTRIBUTE_READONLY);
             SetFileAttributesA(p.string().c_str(), FILE_ATTRIBUTE_NORMAL);
         }},
        {"attributes kept by ReplaceFile",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             SetFileAttributesA((dir / "p.xml").string().c_str(), FILE_ATTRIBUTE_HIDDEN);
             return dir / "p.xml";
         },
         0,
         [](const fs::path& p) {
             // Wine's ReplaceFile does not carry attributes over; Windows' does.
             if (!testsupport::UnderWine()) {
                 EXPECT_TRUE(GetFileAttributesA(p.string().c_str()) & FILE_ATTRIBUTE_HIDDEN);
             }
             EXPECT_NE(testsupport::ReadFile(p).find("<K>1</K>"), std::string::npos);
         }},
        {"a second hard link: written in place",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             CreateHardLinkA((dir / "alias.xml").string().c_str(), (dir / "p.xml").string().c_str(), nullptr);
             return dir / "p.xml";
         },
         0,
         [](const fs::path& p) {
             EXPECT_NE(testsupport::ReadFile(p).find("<K>1</K>"), std::string::npos);
             EXPECT_EQ(testsupport::ReadFile(p.parent_path() / "alias.xml"), testsupport::ReadFile(p));
             EXPECT_EQ(Names(p.parent_path()), (std::vector<std::string>{"alias.xml", "p.xml"})) << "no journal beside it";
             EXPECT_EQ(JournalsOf(p), std::vector<std::string>{}) << "the journal goes once the write is whole";
         }},
        {"a write in place that stops halfway: the old text back through the same handle, the journal gone",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             CreateHardLinkA((dir / "alias.xml").string().c_str(), (dir / "p.xml").string().c_str(), nullptr);
             halfway::real = platform::win32::syscalls();
             halfway::calls = 0;
             halfway::half = 4;  // the lock file's mark and its holder's record, the journal's one write first
             platform::win32::syscalls().writeFile = halfway::Write;
             return dir / "p.xml";
         },
         ERROR_DISK_FULL,
         [&](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), original);
             EXPECT_EQ(JournalsOf(p), std::vector<std::string>{});
         }},
        {"leftovers of earlier saves: exactly our form, over a minute old, removed",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             for (const char* name : {".p.xml.trelvo-save-abcdefghijkl.tmp", ".p.xml.trelvo-save-mnopqrstuvwx.tmp",
                                      ".p.xml.trelvo-save-abcdefghijk1.tmp", "p.xml.trelvo-Backup01"}) {
                 testsupport::WriteFile(dir / name, original);
             }
             for (const char* name : {".p.xml.trelvo-save-abcdefghijkl.tmp", ".p.xml.trelvo-save-abcdefghijk1.tmp",
                                      "p.xml.trelvo-Backup01"}) {
                 Backdate(dir / name);
             }
             return dir / "p.xml";
         },
         0,
         [](const fs::path& p) {
             const fs::path dir = p.parent_path();
             EXPECT_FALSE(fs::exists(dir / ".p.xml.trelvo-save-abcdefghijkl.tmp"));
             EXPECT_TRUE(fs::exists(dir / ".p.xml.trelvo-save-mnopqrstuvwx.tmp")) << "too young";
             EXPECT_TRUE(fs::exists(dir / ".p.xml.trelvo-save-abcdefghijk1.tmp")) << "not our form";
             EXPECT_TRUE(fs::exists(dir / "p.xml.trelvo-Backup01")) << "the user's";
         }},
        {"the same bytes again: nothing written",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", "<profile><TRELVO40><K>1</K></TRELVO40></profile>");
             Backdate(dir / "p.xml");
             return dir / "p.xml";
         },
         0,
         [](const fs::path& p) {
             WIN32_FILE_ATTRIBUTE_DATA data{};
             ASSERT_TRUE(GetFileAttributesExA(p.string().c_str(), GetFileExInfoStandard, &data));
             FILETIME now{};
             GetSystemTimeAsFileTime(&now);
             const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
             EXPECT_GT(ticks(now) - ticks(data.ftLastWriteTime), 100ull * 10000000ull) << "not touched";
         }},
        {"another program writes the profile before the replacement: read and spliced again",
         other::Arrange(original, "<profile><Other/></profile>", false), 0,
         [](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), "<profile><Other/><TRELVO40><K>1</K></TRELVO40></profile>");
         }},
        {"the same size, its last-write time put back, before the replacement: the bytes tell",
         other::Arrange(original, "", false), 0,
         [](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), "<profile><A>9</A><TRELVO40><K>1</K></TRELVO40></profile>");
         }},
        {"the same while the journal of a write in place is written: never written over",
         other::Arrange(original, "", true), 0,
         [](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), "<profile><A>9</A><TRELVO40><K>1</K></TRELVO40></profile>");
             EXPECT_EQ(testsupport::ReadFile(p.parent_path() / "alias.xml"), testsupport::ReadFile(p));
         }},
        {"ReplaceFile: ERROR_UNABLE_TO_REMOVE_REPLACED leaves the profile as it was",
         replace::Arrange(original, ERROR_UNABLE_TO_REMOVE_REPLACED, 0), ERROR_UNABLE_TO_REMOVE_REPLACED,
         replace::Untouched(original)},
        {"ReplaceFile: ERROR_UNABLE_TO_MOVE_REPLACEMENT, with a backup name, too",
         replace::Arrange(original, ERROR_UNABLE_TO_MOVE_REPLACEMENT, 0), ERROR_UNABLE_TO_MOVE_REPLACEMENT,
         replace::Untouched(original)},
        {"ReplaceFile: ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, the profile is moved back from the backup name",
         replace::Arrange(original, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 0), ERROR_UNABLE_TO_MOVE_REPLACEMENT_2,
         replace::Untouched(original)},
        {"ReplaceFile: ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 and no move back: the new copy takes the name",
         replace::Arrange(original, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 1), 0,
         [](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), "<profile><A>1</A><TRELVO40><K>1</K></TRELVO40></profile>");
             EXPECT_EQ(Names(p.parent_path()), std::vector<std::string>{"p.xml"});
         }},
        {"ReplaceFile: ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 and no move at all: the old one stays, read-only, through clean-ups",
         replace::Arrange(original, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 2), ERROR_UNABLE_TO_MOVE_REPLACEMENT_2,
         [&](const fs::path& p) {
             const std::vector<std::string> names = Names(p.parent_path());
             ASSERT_EQ(names.size(), 1u);
             const fs::path backup = p.parent_path() / names[0];
             EXPECT_TRUE(platform::IsSaveTempName("p.xml", names[0])) << names[0];
             EXPECT_EQ(testsupport::ReadFile(backup), original);
             EXPECT_TRUE(GetFileAttributesA(backup.string().c_str()) & FILE_ATTRIBUTE_READONLY);
             Backdate(backup);
             EXPECT_EQ(platform::fileIo().removeLeftovers(p.string().c_str(), ""), 0);
             EXPECT_TRUE(fs::exists(backup));
         }},
        {"another program holds the profile open: refused, and no file of wine's own (rfXXXX.tmp) beside it",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             held = CreateFileA((dir / "p.xml").string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
             return dir / "p.xml";
         },
         testsupport::UnderWine() ? ERROR_SHARING_VIOLATION : ERROR_UNABLE_TO_REMOVE_REPLACED,
         [&](const fs::path& p) {
             CloseHandle(held);
             replace::Untouched(original)(p);
         }},
        // What stands at the lock file's name and is not a lock of ours never holds a save nor is removed.
        {"a read-only file at the lock file's name: saved at once, the file kept",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / ".p.xml.trelvo-lock", "the user's");
             SetFileAttributesA((dir / ".p.xml.trelvo-lock").string().c_str(), FILE_ATTRIBUTE_READONLY);
             replace::real = platform::win32::syscalls();
             platform::win32::syscalls().createFile = replace::DenyLockFile;
             replace::deniedLock = FALSE;
             testsupport::WriteFile(dir / "p.xml", original);
             return dir / "p.xml";
         },
         0,
         [](const fs::path& p) {
             EXPECT_TRUE(replace::deniedLock);
             EXPECT_EQ(testsupport::ReadFile(p.parent_path() / ".p.xml.trelvo-lock"), "the user's");
         }},
        {"access to the lock file's name denied, as while its removal is pending: saved after a moment",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / ".p.xml.trelvo-lock", "");
             replace::real = platform::win32::syscalls();
             platform::win32::syscalls().createFile = replace::DenyLockFile;
             testsupport::WriteFile(dir / "p.xml", original);
             return dir / "p.xml";
         },
         0, nullptr},
        {"a folder at the lock file's name: saved at once, the folder kept",
         [&](const fs::path& dir) {
             fs::create_directory(dir / ".p.xml.trelvo-lock");
             testsupport::WriteFile(dir / "p.xml", original);
             return dir / "p.xml";
         },
         0, [](const fs::path& p) { EXPECT_TRUE(fs::is_directory(p.parent_path() / ".p.xml.trelvo-lock")); }},
        {"an empty file of the user's at the lock file's name: locked, then kept",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / ".p.xml.trelvo-lock", "");
             testsupport::WriteFile(dir / "p.xml", original);
             return dir / "p.xml";
         },
         0, [](const fs::path& p) { EXPECT_TRUE(fs::exists(p.parent_path() / ".p.xml.trelvo-lock")); }},
        {"a link at the lock file's name to an empty file of the user's: the file kept",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "notes.txt", "");
             // Vista's call, hidden from code built for XP: looked up, and a hard link where there is none.
             using Symlink = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
             const auto symlink = reinterpret_cast<Symlink>(
                 reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
             if (symlink == nullptr || !symlink((dir / ".p.xml.trelvo-lock").string().c_str(), (dir / "notes.txt").string().c_str(), 0)) {
                 CreateHardLinkA((dir / ".p.xml.trelvo-lock").string().c_str(), (dir / "notes.txt").string().c_str(), nullptr);
             }
             testsupport::WriteFile(dir / "p.xml", original);
             return dir / "p.xml";
         },
         0, [](const fs::path& p) { EXPECT_TRUE(fs::exists(p.parent_path() / "notes.txt")); }},
        {"another program holds the lock file open, unshared: saved after the wait",
         [&](const fs::path& dir) {
             held = CreateFileA((dir / ".p.xml.trelvo-lock").string().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                0, nullptr);
             testsupport::WriteFile(dir / "p.xml", original);
             return dir / "p.xml";
         },
         0, [&](const fs::path&) { CloseHandle(held); }},
        {"a full disk under the new copy: said so, and nothing left",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             platform::win32::syscalls().writeFile = replace::DiskFull;
             return dir / "p.xml";
         },
         ERROR_DISK_FULL, replace::Untouched(original)},
        {"directory at the path",
         [](const fs::path& dir) {
             fs::create_directory(dir / "p.xml");
             return dir / "p.xml";
         },
         platform::FILEIO_NOT_REGULAR, [](const fs::path& p) { EXPECT_TRUE(fs::is_directory(p)); }},
        {"device at the path", [](const fs::path&) { return fs::path("NUL"); }, platform::FILEIO_NOT_REGULAR, nullptr},
        {"a path that fills MAX_PATH: the copy's name shortened, saved",
         [&](const fs::path& dir) {
             const fs::path p = dir / (std::string(MAX_PATH - 10 - dir.string().size(), 'p') + ".xml");
             testsupport::WriteFile(p, original);
             return p;
         },
         0,
         [](const fs::path& p) {
             EXPECT_NE(testsupport::ReadFile(p).find("<K>1</K>"), std::string::npos);
             EXPECT_EQ(Names(p.parent_path()), std::vector<std::string>{p.filename().string()});
         }},
        {"the user's own file at the journal's name: it stays, and the save in place is refused",
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             CreateHardLinkA((dir / "alias.xml").string().c_str(), (dir / "p.xml").string().c_str(), nullptr);
             uint64_t sum = 0xcbf29ce484222325ull;
             for (const char c : (dir / "p.xml").string()) sum = (sum ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
             char name[40];
             std::snprintf(name, sizeof name, ".trelvo-journal-%016llx", static_cast<unsigned long long>(sum));
             std::string folder;
             EXPECT_EQ(platform::fileIo().journalFolder(folder, true), 0);
             testsupport::WriteFile(fs::path(folder) / name, "the user's");
             return dir / "p.xml";
         },
         platform::FILEIO_NAME_TAKEN,
         [&](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), original);
             const auto journals = JournalsOf(p);
             EXPECT_EQ(journals, std::vector<std::string>{}) << "no journal of ours left";
             std::string folder;
             platform::fileIo().journalFolder(folder, false);
             size_t kept = 0;
             for (const auto& entry : fs::directory_iterator(folder)) {
                 if (testsupport::ReadFile(entry.path()) == "the user's") {
                     ++kept;
                     fs::remove(entry.path());
                 }
             }
             EXPECT_EQ(kept, 1u);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = c.setup(dir_);
        std::string reason;
        {
            CXmlProfile store(path.string());
            EXPECT_EQ(store.ReadInt("A", "B", 4), 4);
            store.WriteInt("TRELVO40", "K", 1);
            EXPECT_EQ(store.Save(reason), c.expected == 0);
        }
        EXPECT_EQ(reason.rfind(c.expected == 0 ? "" : platform::FileErrorText(c.expected), 0), 0u) << reason;
        if (c.expected == 0) {
            EXPECT_EQ(reason, "");
        }
        if (c.check) c.check(path);
        platform::ResetFileIo();
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(dir_, ignored)) {
            SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        fs::remove_all(dir_, ignored);
        fs::create_directories(dir_);
    }
}

// Our savers take turns through a lock file of our own; the profile itself stays open to every program.
TEST_F(FileHooksTest, SaversTakeTurnsOnALockFileBesideTheProfile) {
    platform::FileIo& io = platform::fileIo();
    const fs::path p = dir_ / "p.xml";
    testsupport::WriteFile(p, "<profile/>");
    void* first = nullptr;
    std::string where;
    ASSERT_EQ(io.lock(p.string().c_str(), &first, where), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(GetFileAttributesA((dir_ / ".p.xml.trelvo-lock").string().c_str()) & FILE_ATTRIBUTE_HIDDEN);

    HANDLE host = CreateFileA(p.string().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(host, INVALID_HANDLE_VALUE) << "the host opens its profile while we hold the lock";
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(host, "<profile><A/></profile>", 23, &n, nullptr) && n == 23);
    char back[32] = {};
    SetFilePointer(host, 0, nullptr, FILE_BEGIN);
    EXPECT_TRUE(ReadFile(host, back, sizeof back, &n, nullptr) && n == 23);
    CloseHandle(host);

    void* second = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(io.lock(p.string().c_str(), &second, where), platform::FILEIO_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1500)) << "waits for the holder first";
    // One that opened the lock file and waits takes the lock next: the file stays for it. When it is
    // no saver of ours (no record of a running saver after the mark), its lock holds no save back:
    // after the wait the lock is not had, and the save goes on.
    HANDLE waiter = CreateFileA((dir_ / ".p.xml.trelvo-lock").string().c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    io.unlock(first);
    EXPECT_EQ(testsupport::ReadFile(dir_ / ".p.xml.trelvo-lock"), "TRELVO-40 lock\n") << "the holder's record cut off";
    OVERLAPPED at{};
    ASSERT_TRUE(LockFileEx(waiter, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    EXPECT_EQ(io.lock(p.string().c_str(), &second, where), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(where, (dir_ / ".p.xml.trelvo-lock").string());
    CloseHandle(waiter);
    ASSERT_EQ(io.lock(p.string().c_str(), &second, where), 0);
    EXPECT_NE(second, nullptr);
    io.unlock(second);
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"p.xml"});

    void* none = &first;
    EXPECT_EQ(io.lock((dir_ / "missing.xml").string().c_str(), &none, where), 0);
    EXPECT_EQ(none, nullptr) << "nothing to lock";
    EXPECT_FALSE(fs::exists(dir_ / ".missing.xml.trelvo-lock"));
}

// A journal is read only from this user's own folder: a file of that name anywhere else may be another's.
TEST_F(FileHooksTest, JournalsAreReadOnlyFromTheUsersOwnFolder) {
    platform::FileIo& io = platform::fileIo();
    std::string folder;
    ASSERT_EQ(io.journalFolder(folder, true), 0);
    char local[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    EXPECT_EQ(folder, std::string(local) + "\\trelvo");
    const std::string name = ".trelvo-journal-test-" + std::to_string(GetCurrentProcessId());
    testsupport::WriteFile(fs::path(folder) / name, "ours");
    testsupport::WriteFile(dir_ / name, "planted");
    fs::create_directories(fs::path(folder) / "sub");
    testsupport::WriteFile(fs::path(folder) / "sub" / name, "deeper");
    const struct {
        std::string path;
        int expected;
    } cases[] = {
        {folder + "\\" + name, 0},
        {folder + "\\sub\\..\\" + name, 0},
        {(dir_ / name).string(), platform::FILEIO_NOT_OURS},
        {folder + "\\..\\" + fs::relative(dir_ / name, fs::path(folder).parent_path()).string(), platform::FILEIO_NOT_OURS},
        {folder + "\\sub\\" + name, platform::FILEIO_NOT_OURS},
        {folder, platform::FILEIO_NOT_OURS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string bytes;
        platform::FileIdentity read;
        EXPECT_EQ(io.readPrivate(c.path.c_str(), 1024, bytes, read), c.expected);
        EXPECT_EQ(bytes, c.expected == 0 ? "ours" : "");
    }
    std::string bytes;
    platform::FileIdentity read;
    EXPECT_TRUE(platform::IsMissingFile(io.readPrivate((folder + "\\none").c_str(), 1024, bytes, read)));
    fs::remove_all(fs::path(folder) / "sub");
    fs::remove(fs::path(folder) / name);
}

// The simulator's --profile-out by a name the code page cannot hold: replaced whole, never a copy
// left, a read-only output refused and kept.
TEST_F(FileHooksTest, ProfileOutKeepsItsWideName) {
    const std::wstring folder = dir_.wstring() + L"\\\u03a9\u03bc\u03ad\u03b3\u03b1-\u914d\u7f6e";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring out = folder + L"\\out.xml";
    const std::string utf8 = sim::PathText(fs::path(out));
    const auto held = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fs::path(folder))) names.push_back(sim::PathText(entry.path().filename()));
        return names;
    };
    for (const char* bytes : {"<profile><A>1</A></profile>", "<profile><A>2</A></profile>"}) {
        sim::ReplaceUserFile(utf8, bytes);
        EXPECT_EQ(testsupport::ReadFile(fs::path(out)), bytes);
        EXPECT_EQ(held(), std::vector<std::string>{"out.xml"});
    }
    SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_READONLY);
    try {
        sim::ReplaceUserFile(utf8, "<profile/>");
        ADD_FAILURE() << "a read-only output was written";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot write " + utf8 + ": " + platform::FileErrorText(platform::FILEIO_READ_ONLY));
    }
    EXPECT_EQ(testsupport::ReadFile(fs::path(out)), "<profile><A>2</A></profile>");
    SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ModuleStartup, SocketLayerIsUsableAfterTheFirstCall) {
    ASSERT_TRUE(platform::StartModuleServices());
    EXPECT_TRUE(platform::StartModuleServices()) << "later calls give the same answer";
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    if (s != INVALID_SOCKET) closesocket(s);
}

#ifdef TRELVO_SIM_EXE
// A check stopped by Ctrl+C in its console removes its temporary folder and leaves the page of an
// earlier check as it was. (Wine ends the processes of a closed console at once, with no
// CTRL_CLOSE_EVENT for them to clean up on: that case cannot be run here.)
TEST(SimInterrupt, CtrlCLeavesNoTemporaryFolderAndTheEarlierPage) {
    const fs::path dir = fs::temp_directory_path() / ("trelvo-ctrl-c-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir / "tmp");
    // Large enough to take seconds, so the event comes while it runs.
    std::string profile = "<profile><Preferences><Output7Active>1</Output7Active></Preferences><Tools>";
    for (int i = 0; profile.size() < (size_t{5} << 20); ++i) profile += "<Tool" + std::to_string(i) + ">1</Tool" + std::to_string(i) + ">";
    testsupport::WriteFile(dir / "large.xml", profile + "</Tools></profile>");
    const std::string earlier = "<html>an earlier check</html>\n";
    testsupport::WriteFile(dir / "check.html", earlier);

    std::wstring command = L"\"" + fs::path(TRELVO_SIM_EXE).wstring() + L"\" --check --module \"" +
                           fs::path(TRELVO_MODULE_FILE).wstring() + L"\" --profile \"" + (dir / "large.xml").wstring() +
                           L"\" --report \"" + (dir / "check.html").wstring() + L"\"";
    // The child takes its temporary folder from TMP, one of the test's own.
    wchar_t savedTemp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", savedTemp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", (dir / "tmp").wstring().c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                                        nullptr, &startup, &child);
    SetEnvironmentVariableW(L"TMP", savedTemp[0] ? savedTemp : nullptr);
    ASSERT_TRUE(started) << GetLastError();
    // The copy of the profile is written once the run is ready for the event.
    auto copied = [&] {
        for (const auto& entry : fs::directory_iterator(dir / "tmp"))
            if (!fs::is_empty(entry.path())) return true;
        return false;
    };
    for (int i = 0; i < 3000 && !copied(); ++i) Sleep(10);
    if (!copied()) TerminateProcess(child.hProcess, 1);
    ASSERT_TRUE(copied());
    // Ctrl+C reaches every process of a console: this one joins the child's, ignoring it itself.
    FreeConsole();
    ASSERT_TRUE(AttachConsole(child.dwProcessId)) << GetLastError();
    SetConsoleCtrlHandler(nullptr, TRUE);
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    FreeConsole();
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
    SetConsoleCtrlHandler(nullptr, FALSE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_EQ(code, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
    EXPECT_EQ(testsupport::ReadFile(dir / "check.html"), earlier);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u) << "no page written beside the earlier one";
    fs::remove_all(dir);
}
#endif

}  // namespace

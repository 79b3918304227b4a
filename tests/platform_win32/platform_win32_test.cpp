// The Win32 platform layer against the real system: warning boxes, the loaded module, files, sockets.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "host/host_blocks.h"
#include "platform/file_io.h"
#include "platform/message_box.h"
#include "platform/module_file.h"
#include "platform/module_startup.h"
#include "platform/win32/syscalls.h"
#include "profile/xml_profile.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct BoxSearch {
    const char* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    char className[64] = {};
    char title[256] = {};
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, title, sizeof title);
    if (std::strcmp(className, "#32770") == 0 && std::strcmp(title, search->caption) == 0) {
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
    ASSERT_EQ(io.openLog(fresh.string().c_str(), "", &file), 0);
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
    EXPECT_EQ(io.remove(target.string().c_str()), 0);
    EXPECT_NE(io.remove(target.string().c_str()), 0);
}

// The folder's files but the savers' lock file, which stays.
std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 12 || name.compare(name.size() - 12, 12, ".trelvo-lock") != 0) names.push_back(name);
    }
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
             EXPECT_FALSE(fs::exists(p.parent_path() / ".p.xml.trelvo-journal")) << "the journal goes once the write is whole";
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
         [&](const fs::path& dir) {
             testsupport::WriteFile(dir / "p.xml", original);
             static platform::FileIo real;
             static fs::path profile;
             real = platform::fileIo();
             profile = dir / "p.xml";
             platform::fileIo().commit = [](void* file, const platform::FileFacts& like) {
                 const int error = real.commit(file, like);
                 platform::fileIo().commit = real.commit;
                 testsupport::WriteFile(profile, "<profile><Other/></profile>");
                 return error;
             };
             return dir / "p.xml";
         },
         0,
         [](const fs::path& p) {
             EXPECT_EQ(testsupport::ReadFile(p), "<profile><Other/><TRELVO40><K>1</K></TRELVO40></profile>");
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = c.setup(dir_);
        plugin().id.ProfilePath = path.string();
        std::string reason;
        {
            CXmlProfile store;
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

TEST(ModuleStartup, SocketLayerIsUsableAfterTheFirstCall) {
    ASSERT_TRUE(platform::StartModuleServices());
    EXPECT_TRUE(platform::StartModuleServices()) << "later calls give the same answer";
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    if (s != INVALID_SOCKET) closesocket(s);
}

}  // namespace

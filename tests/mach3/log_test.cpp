// The debug log and status text: line format, level filter, and a plug-in that survives a log that fails.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <functional>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mach3/lifecycle.h"
#include "mach3/log.h"
#include "mach3/update/update.h"
#include "mach3/update/wire.h"
#include "platform/file_io.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Counts the attempts and lets the test decide what each one does.
namespace seam {
int attempts = 0;
int failFrom = 0;       // attempts before this one succeed
bool shortWrites = false;
size_t Write(void* file, const void* data, size_t size) {
    ++attempts;
    if (attempts <= failFrom) return std::fwrite(data, 1, size, static_cast<FILE*>(file));
    if (shortWrites && size > 1) return std::fwrite(data, 1, size / 2, static_cast<FILE*>(file));
    return 0;  // disk full
}
}  // namespace seam

class LogTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        seam::attempts = 0;
        seam::failFrom = 0;
        seam::shortWrites = false;
    }

    // Output 5 carries the bit stream, output 7 a relay; the host leaves EStop after two cycles.
    void WireAndStart() {
        engine_.outputs[5] = HostOutputSignal{1, 16, 1, 0, 0};
        engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 0};
        Init();
        EStopCycles(2);
    }

    // Runs `count` cycles, toggling output 7 now and then, and returns the bit-stream recording.
    std::string Record(int count) {
        std::string wire;
        for (int i = 0; i < count; ++i) {
            if (i % 40 == 0) engine_.outputs[7].state ^= 1;
            myUpdate(testsupport::State());
            wire += BitStreamState(5) ? '1' : '0';
        }
        return wire;
    }

    // Every frame on the wire is well formed and at least `atLeast` were sent.
    static void ExpectGoodFrames(const std::string& wire, size_t atLeast) {
        const auto frames = wiretest::Decode(wire);
        EXPECT_GE(frames.size(), atLeast);
        for (const auto& f : frames) {
            EXPECT_TRUE(f.parityOk && f.stopOk) << "frame at " << f.startCycle;
        }
    }
};

TEST_F(LogTest, EveryLineHasTimeLevelAndText) {
    LoadSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "1"}});
    WireAndStart();
    Record(200);
    for (int level = LOG_SYSTEM; level <= LOG_ALL; ++level) myLog(level, "direct line");
    myCleanUp();

    const std::regex line(R"(^([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3} \[(SYSTEM|ERROR|WARNING|INFO|DEBUG|ALL)\]: .*$)");
    const auto lines = Lines(LogText());
    ASSERT_GT(lines.size(), 200u);
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_EQ(lines.front().substr(12), " [SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log (level=5 in myProfileInit) ***");
    EXPECT_EQ(lines.back().substr(12), " [SYSTEM]: *** Closing Log File  ***");
}

TEST_F(LogTest, ThresholdDecidesWhichLevelsReachTheFile) {
    const struct {
        const char* threshold;
        std::vector<std::string> levels;  // of the direct lines that must appear
        bool banner;
        bool perCycle;                    // "myUpdate" lines
        bool debug;                       // the EStop transition lines
    } cases[] = {
        {"-1", {}, false, false, false},
        {"0", {"SYSTEM"}, true, false, false},
        {"3", {"SYSTEM", "ERROR", "WARNING", "INFO"}, true, false, false},
        {"4", {"SYSTEM", "ERROR", "WARNING", "INFO", "DEBUG"}, true, false, true},
        {"5", {"SYSTEM", "ERROR", "WARNING", "INFO", "DEBUG", "ALL"}, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("threshold ") + c.threshold);
        SetUp();
        LoadSettings({{"ExpandedMode", "0"}, {"DebugLogLevel", c.threshold}});
        ASSERT_TRUE(LogIsOpen());
        WireAndStart();
        Record(50);
        for (int level = LOG_SYSTEM; level <= LOG_ALL; ++level) {
            myLog(level, std::string("probe ") + LogLevelName(level));
        }
        std::vector<std::string> probes;
        bool banner = false, perCycle = false, debug = false;
        for (const auto& m : Messages()) {
            if (m.find(": probe ") != std::string::npos) probes.push_back(m.substr(0, m.find(':')));
            banner |= m.find("Plug-In Debug Log") != std::string::npos;
            perCycle |= m == "ALL: myUpdate";
            debug |= m == "DEBUG: myUpdate() entering EStop";
        }
        EXPECT_EQ(probes, c.levels);
        EXPECT_EQ(banner, c.banner);
        EXPECT_EQ(perCycle, c.perCycle);
        EXPECT_EQ(debug, c.debug);
        TearDown();
    }
}

TEST_F(LogTest, TextIsWrittenUnchangedNotAsFormat) {
    testsupport::WriteFile(log_, "23:59:59.999 [SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log (level=5 in myProfileInit) ***\n" +
                                     std::string(5000, 'o') + "\nold line\n");
    LoadSettings({});
    EXPECT_EQ(LogText().rfind("old line"), std::string::npos) << "an earlier log is started afresh";
    // Formatted lines of any length arrive whole, however the formatting buffer is sized.
    for (const size_t length : {511u, 512u, 513u, 4000u}) {
        const std::string long_text(length, 'L');
        myLogf(LOG_INFO, "%s", long_text.c_str());
        const auto messages = Messages();
        EXPECT_EQ(messages.back(), "INFO: " + long_text) << length;
    }
    const char* text = "100% done %s %d %n %% %";
    myLog(LOG_INFO, text);
    myLog(LOG_INFO, std::string("50%\tmid%"));
    myLogf(LOG_INFO, "%s", "%d stays");
    const auto messages = Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3], std::string("INFO: ") + text);
    EXPECT_EQ(messages[messages.size() - 2], "INFO: 50%\tmid%");
    EXPECT_EQ(messages.back(), "INFO: %d stays");
}

TEST_F(LogTest, LogFileThatCannotBeOpenedLeavesPluginRunning) {
    const std::string isProfile = platform::FileErrorText(platform::FILEIO_IS_PROFILE);
    const std::string notALog = platform::FileErrorText(platform::FILEIO_NOT_A_LOG);
    // A file of the user's own that DebugLogFile names, which the plug-in must leave as it is.
    const auto document = [](const std::string& text) {
        return [text](const fs::path& dir) {
            testsupport::WriteFile(dir / "notes.txt", text);
            return dir / "notes.txt";
        };
    };
    const struct {
        const char* name;
        std::string reason;
        std::function<fs::path(const fs::path& dir)> make;
    } cases[] = {
        // The same file by any name: opening it as the log would truncate the profile.
        {"the profile itself", isProfile, [](const fs::path& dir) { return dir / "profile.xml"; }},
        {"a hard link to the profile", isProfile, [](const fs::path& dir) {
             testsupport::WriteFile(dir / "profile.xml", "");
             fs::create_hard_link(dir / "profile.xml", dir / "alias.xml");
             return dir / "alias.xml";
         }},
        {"a document", notALog, document("Dear diary,\n")},
        {"a document that begins with the banner alone", notALog, document("*** TRELVO-40/41 Plug-In Debug Log\n")},
        {"a document whose second line is a log's first", notALog,
         document("notes\n12:00:00.000 [SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log (level=0 in myProfileInit) ***\n")},
        {"another level's line", notALog, document("12:00:00.000 [INFO]: *** TRELVO-40/41 Plug-In Debug Log\n")},
        {"a time with a letter", notALog, document("12:0x:00.000 [SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log\n")},
        {"a log cut inside its banner", notALog, document("12:00:00.000 [SYSTEM]: *** TRELVO-40/41 Plug-In")},
#if defined(_WIN32)
        {"missing folder", platform::SystemErrorText(ERROR_PATH_NOT_FOUND), [](const fs::path& dir) { return dir / "no-such-folder" / "debug.log"; }},
        {"directory", "not a regular file", [](const fs::path& dir) { return dir; }},
        {"device", "not a regular file", [](const fs::path&) { return fs::path("NUL"); }},
        // A reparse point is never followed, whoever made it.
        {"a symbolic link to a document", platform::FileErrorText(platform::FILEIO_FOREIGN_LINK),
         [&document](const fs::path& dir) {
             // The call is Vista's, looked up so the test runs where it is missing (skipped there).
             using Create = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
             const auto create = reinterpret_cast<Create>(
                 reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
             const fs::path target = document("my own notes\n")(dir);
             const bool made = create != nullptr && create((dir / "link.log").wstring().c_str(), target.wstring().c_str(), 0);
             // wine 8 makes a Unix link that it shows as a plain file: nothing tells it apart there.
             const DWORD attributes = made ? GetFileAttributesW((dir / "link.log").wstring().c_str()) : 0;
             const bool shown = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
             return shown ? dir / "link.log" : fs::path();
         }},
#else
        {"missing folder", "No such file or directory", [](const fs::path& dir) { return dir / "no-such-folder" / "debug.log"; }},
        {"directory", "Is a directory", [](const fs::path& dir) { return dir; }},
        {"device", "not a regular file", [](const fs::path&) { return fs::path("/dev/null"); }},
        {"a symbolic link to the profile", isProfile, [](const fs::path& dir) {
             fs::create_symlink("profile.xml", dir / "link.xml");
             return dir / "link.xml";
         }},
        {"FIFO, which would block the open", "not a regular file", [](const fs::path& dir) {
             mkfifo((dir / "fifo").c_str(), 0644);
             return dir / "fifo";
         }},
        // Another user's link in a sticky folder others may write, as /tmp: planted to a document of
        // the user's (as root the test can make the link another's; kept whatever the kernel's setting).
        {"another user's link in a sticky folder", platform::FileErrorText(platform::FILEIO_FOREIGN_LINK),
         [&document](const fs::path& dir) {
             fs::create_directory(dir / "shared");
             fs::permissions(dir / "shared", fs::perms::all | fs::perms::sticky_bit);
             const fs::path target = document("my own notes\n")(dir);
             fs::create_symlink(target, dir / "shared" / "trelvo.log");
             return lchown((dir / "shared" / "trelvo.log").c_str(), 4242, 4242) == 0 ? dir / "shared" / "trelvo.log" : fs::path();
         }},
        {"another user's link to a missing file in a sticky folder", platform::FileErrorText(platform::FILEIO_FOREIGN_LINK),
         [](const fs::path& dir) {
             fs::create_directory(dir / "shared");
             fs::permissions(dir / "shared", fs::perms::all | fs::perms::sticky_bit);
             fs::create_symlink(dir / "created-by-the-plug-in.txt", dir / "shared" / "trelvo.log");
             return lchown((dir / "shared" / "trelvo.log").c_str(), 4242, 4242) == 0 ? dir / "shared" / "trelvo.log" : fs::path();
         }},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const fs::path path = c.make(dir_);
        if (path.empty()) {  // a row that needs root
            TearDown();
            continue;
        }
        std::error_code ec;
        const std::string before = fs::is_regular_file(path, ec) ? testsupport::ReadFile(path) : "(none)";
        LoadSettings({{"ExpandedMode", "0"}, {"DebugLogFile", path.string()}});
        EXPECT_FALSE(LogIsOpen());
        // A second settings load tries again and fails the same way.
        const char* name = PlugSetProName(profile_.string().c_str());
        ASSERT_NE(name, nullptr);
        EXPECT_NE(std::string(name).find("and 41"), std::string::npos);
        WireAndStart();
        EXPECT_EQ(std::string(state_.statusText), "TRELVO-40/41 writes no debug log: " + c.reason + " (DebugLogFile " + path.string() + ")");
        ExpectGoodFrames(Record(400), 10);
        EXPECT_EQ(engine_.mode, 999);
        EXPECT_EQ(engine_.outputs[13].enabled, 1);
        myCleanUp();
        EXPECT_FALSE(fs::exists(dir_ / "no-such-folder"));
        EXPECT_FALSE(fs::exists(dir_ / "created-by-the-plug-in.txt"));
        if (!fs::equivalent(path, profile_, ec)) {
            EXPECT_EQ(fs::is_regular_file(path, ec) ? testsupport::ReadFile(path) : "(none)", before) << "left as it was";
        }
        EXPECT_NE(testsupport::ReadFile(profile_).find("<DebugLogFile>"), std::string::npos) << "the profile is whole";
        TearDown();
    }
}

TEST_F(LogTest, WriteFailuresAreIgnoredAndLaterLinesStillTried) {
    const struct {
        const char* name;
        int failFrom;
        bool shortWrites;
    } cases[] = {
        {"disk full from the start", 0, false},
        {"every write short", 0, true},
        {"writes fail mid-run", 40, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        seam::failFrom = c.failFrom;
        seam::shortWrites = c.shortWrites;
        platform::fileIo().write = seam::Write;
        LoadSettings({{"ExpandedMode", "0"}, {"EnableDebug", "1"}, {"zzzzz", "1"}});
        ASSERT_TRUE(LogIsOpen());
        WireAndStart();
        const std::string wire = Record(300);
        // Every cycle's "myUpdate" line was attempted, also after the first failure.
        EXPECT_GE(seam::attempts, 300 * 3);
        const auto frames = wiretest::Decode(wire);
        ExpectGoodFrames(wire, 25);
        for (const auto& f : frames) EXPECT_EQ(f.word, 0x6B);
        EXPECT_EQ(std::string(state_.statusText).rfind("TRELVO-40/41 sending SERIAL TEST data 0x6B #", 0), 0u);

        // Once the disk has room again, the next line arrives whole.
        const int before = seam::attempts;
        platform::ResetFileIo();
        myLog(LOG_INFO, "room again");
        myCleanUp();
        EXPECT_EQ(seam::attempts, before);  // the plug-in holds no stale pointer to the failing hook
        const std::string text = LogText();
        EXPECT_NE(text.find("[INFO]: room again\n"), std::string::npos);
        EXPECT_NE(text.find("[SYSTEM]: *** Closing Log File  ***\n"), std::string::npos);
        if (c.failFrom > 0) {
            EXPECT_EQ(text.rfind("[SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log", 30), 13u);
        }
        TearDown();
    }
}

TEST_F(LogTest, StatusTextWaitsForInitControlAndIsCut) {
    LoadSettings({});
    std::memset(state_.statusText, 'Q', sizeof state_.statusText);
    state_.m_SpindleOn = 0xA5;
    myStatus("before InitControl");
    myStatus(std::string("before InitControl"));
    for (char c : state_.statusText) ASSERT_EQ(c, 'Q');
    Init();

    const struct {
        size_t length;
        size_t kept;
    } cases[] = {{0, 0}, {1, 1}, {HOST_STATUS_TEXT_SIZE - 1, HOST_STATUS_TEXT_SIZE - 1},
                 {HOST_STATUS_TEXT_SIZE, HOST_STATUS_TEXT_SIZE - 1}, {5000, HOST_STATUS_TEXT_SIZE - 1}};
    for (const auto& c : cases) {
        std::string text(c.length, 'x');
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
        for (int overload = 0; overload < 2; ++overload) {
            SCOPED_TRACE("length " + std::to_string(c.length) + (overload ? " by value" : " by pointer"));
            std::memset(state_.statusText, 'Q', sizeof state_.statusText);
            if (overload) myStatus(text); else myStatus(text.c_str());
            EXPECT_EQ(std::string(state_.statusText), text.substr(0, c.kept));
            EXPECT_EQ(state_.m_SpindleOn, 0xA5);  // the field behind the string is untouched
        }
    }
    myStatus("short");
    EXPECT_STREQ(state_.statusText, "short");  // replaces, never appends
}

}  // namespace

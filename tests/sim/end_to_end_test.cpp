// trelvo-sim over the scenario files: the wire and the frames the board receives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "build_version.h"
#include "sim_runner.h"

namespace {

using simtest::FrameRow;
using simtest::GoodFrames;
using simtest::RunSim;
using simtest::Scenario;
using simtest::SimRun;

const std::string kTestFrame = "0110101101";  // 0x6B: start, 1101011, parity 0, stop

sim::BoardLatches Replay(const std::vector<FrameRow>& frames) {
    sim::Board board;
    for (const FrameRow& f : GoodFrames(frames)) board.Accept(f.word);
    return board.Latches();
}

std::vector<int> Words(const std::vector<FrameRow>& frames) {
    std::vector<int> words;
    for (const FrameRow& f : frames) words.push_back(f.word);
    return words;
}

struct SerialCase {
    const char* file;
    int idleBetween;  // cycles at 1 after each stop bit
};

class SerialTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialTest, WordRepeatsWithTheIntraFrameGap) {
    const SerialCase& c = GetParam();
    const SimRun run = RunSim(Scenario(c.file).string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(run.wire.size(), 120u);
    // EStop off at 5: post-EStop wait low through cycle 13, idle high 14 and 15, first start bit 16.
    EXPECT_EQ(run.wire.substr(5, 9), std::string(9, '0'));
    EXPECT_EQ(run.wire.substr(14, 2), "11");
    const int period = 10 + c.idleBetween;
    int expectedFrames = 0;
    for (int start = 16; start + 10 <= 120; start += period, ++expectedFrames) {
        EXPECT_EQ(run.wire.substr(start, 10), kTestFrame) << "frame at " << start;
        if (start + period <= 120) {
            EXPECT_EQ(run.wire.substr(start + 10, c.idleBetween), std::string(c.idleBetween, '1'));
        }
    }
    ASSERT_EQ(static_cast<int>(run.frames.size()), expectedFrames);
    for (int i = 0; i < expectedFrames; ++i) {
        EXPECT_EQ(run.frames[i].cycle, 16 + i * period);
        EXPECT_EQ(run.frames[i].word, 0x6B);
        EXPECT_EQ(run.frames[i].channel, "unknown6");
        EXPECT_TRUE(run.frames[i].parityOk && run.frames[i].stopOk);
    }
}

INSTANTIATE_TEST_SUITE_P(IntraFrameDelay, SerialTest,
                         ::testing::Values(SerialCase{"serial_test_ifd0.txt", 0}, SerialCase{"serial_test_ifd3.txt", 2},
                                           // Two outputs on the pin: it follows the higher one, 20.
                                           SerialCase{"stream_shared.txt", 0}),
                         [](const auto& info) { return std::filesystem::path(info.param.file).stem().string(); });

TEST(EndToEnd, EStopMidFrameCutsTheFrameAndRestartsAfterTheWait) {
    const SimRun run = RunSim(Scenario("estop_mid_frame.txt").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.wire.substr(16, 4), "0110");
    EXPECT_EQ(run.wire.substr(20, 29), std::string(29, '0'));  // EStop, then the wait after the exit at 40
    EXPECT_EQ(run.wire.substr(49, 2), "11");
    EXPECT_EQ(run.wire.substr(51, 10), kTestFrame);
    ASSERT_GE(run.frames.size(), 2u);
    EXPECT_EQ(run.frames[0].cycle, 16);
    EXPECT_FALSE(run.frames[0].stopOk);
    for (size_t i = 1; i < run.frames.size(); ++i) {
        EXPECT_EQ(run.frames[i].cycle, 51 + 10 * static_cast<int64_t>(i - 1));
        EXPECT_EQ(run.frames[i].word, 0x6B);
        EXPECT_TRUE(run.frames[i].stopOk && run.frames[i].parityOk);
    }
    EXPECT_NE(run.out.find("framing errors 1, parity errors 0"), std::string::npos) << run.out;
}

TEST(EndToEnd, SpindleRatiosAtRoundingPointsSendTheDoubleUnitsDuty) {
    const SimRun run = RunSim(Scenario("spindle_rounding.txt").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    sim::Board board;
    std::vector<int> words;
    for (const FrameRow& f : GoodFrames(run.frames)) {
        board.Accept(f.word);
        const int word = board.Latches().SpindleWord();
        if (words.empty() || words.back() != word) words.push_back(word);
    }
    // On, clockwise: the word is the duty.
    EXPECT_EQ(std::vector<int>(words.end() - std::min<size_t>(words.size(), 2), words.end()), (std::vector<int>{1, 2}));
}

TEST(EndToEnd, DemoModeSendsThePatternInOrder) {
    const SimRun run = RunSim(Scenario("demo.txt").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<int> cycle40 = {0x01, 0x02, 0x04, 0x08, 0x00, 0x20, 0x30, 0x42, 0x11, 0x12,
                                      0x14, 0x18, 0x10, 0x38, 0x40, 0x01, 0x02, 0x04, 0x08, 0x00,
                                      0x30, 0x43, 0x11, 0x12, 0x14, 0x18, 0x10, 0x44, 0x01, 0x02,
                                      0x04, 0x08, 0x00, 0x4B, 0x11, 0x12, 0x14, 0x18, 0x10, 0x44};
    std::vector<int> expected = cycle40;
    expected.insert(expected.end(), cycle40.begin(), cycle40.begin() + 5);
    EXPECT_EQ(Words(GoodFrames(run.frames)), expected);
    EXPECT_EQ(GoodFrames(run.frames).size(), run.frames.size());
    // The board ends where the last spindle step left it: off.
    EXPECT_TRUE(sim::DecodeSpindleWord(Replay(run.frames).SpindleWord()).off);
}

TEST(EndToEnd, NoBitStreamOutputLeavesThePinUndriven) {
    const SimRun run = RunSim(Scenario("missing_stream.txt").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.wire, std::string(200, 'z'));
    EXPECT_TRUE(run.frames.empty());
    EXPECT_NE(run.out.find("1 never shown"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("frames: none (no host output drives port 1 pin 16)"), std::string::npos);
    // In port and pin order, like the wiring it stands among.
    EXPECT_LT(run.out.find("port 1 pin 16: nothing"), run.out.find("port 8 pin 1:")) << run.out;
}

TEST(EndToEnd, RewireTakesEffectAtTheNextEStopExit) {
    const SimRun run = RunSim(Scenario("rewire.txt").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // Output 17 drives the pin from cycle 60, active-low with state 0, until the scan at the end
    // of the post-EStop wait clears its active-low flag and takes it as the bit-stream output.
    EXPECT_EQ(run.wire.substr(60, 69), std::string(69, '1'));
    EXPECT_EQ(run.wire.substr(131, 10), kTestFrame);
    std::vector<FrameRow> after;
    for (const FrameRow& f : run.frames)
        if (f.cycle >= 60) after.push_back(f);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().cycle, 131);
    for (const FrameRow& f : after) {
        EXPECT_EQ(f.word, 0x6B);
        EXPECT_TRUE(f.parityOk && f.stopOk);
    }
    EXPECT_EQ(after.size(), 6u);  // 131 .. 181
}

struct ModeCase {
    const char* file;
    bool chargePumpOffInEStop;
};

class OutputModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(OutputModes, BoardFollowsTheHostOutputs) {
    const ModeCase& c = GetParam();
    const SimRun run = RunSim(Scenario(c.file).string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // EStop from 150 to 200 holds the line low until the wait after it ends.
    EXPECT_EQ(run.wire.substr(150, 59), std::string(59, '0'));
    for (const FrameRow& f : GoodFrames(run.frames)) {
        EXPECT_TRUE(f.channel == "PP2" || f.channel == "Relay/PP1") << f.channel;
        EXPECT_FALSE(f.cycle >= 141 && f.cycle < 211) << "frame at " << f.cycle;
    }
    const sim::BoardLatches latches = Replay(run.frames);
    // Output 9 on J5 A; output 12 active-low at state 0 on J5 D; K1 switched off again; K2 on.
    const std::array<uint8_t, 8> expected{1, 0, 0, 1, 0, 1, 0, 0};
    EXPECT_EQ(latches.outputs, expected);
    EXPECT_EQ(run.out.find("charge pump disabled") != std::string::npos, c.chargePumpOffInEStop) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Modes, OutputModes,
                         ::testing::Values(ModeCase{"mode0.txt", true}, ModeCase{"mode1.txt", false}),
                         [](const auto& info) { return std::string(info.param.chargePumpOffInEStop ? "ExpandedIO" : "ExpandedOutput"); });

TEST(EndToEnd, ExpandedInputModeNeverWritesTheBitStream) {
    const SimRun run = RunSim(Scenario("mode2.txt").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.wire, std::string(200, '1'));
    EXPECT_TRUE(run.frames.empty());
}

struct FairnessCase {
    const char* file;
    int intraFrameDelay;
};

class Fairness : public ::testing::TestWithParam<FairnessCase> {};

TEST_P(Fairness, EveryChannelReachesTheBoardAndTheLatchesConverge) {
    const FairnessCase& c = GetParam();
    const SimRun run = RunSim(Scenario(c.file).string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<FrameRow> good = GoodFrames(run.frames);
    ASSERT_EQ(good.size(), run.frames.size());
    ASSERT_FALSE(good.empty());
    const int period = 10 + std::max(c.intraFrameDelay, 1) - 1;
    const int64_t window = 8 * period;
    const int64_t cycles = static_cast<int64_t>(run.wire.size());
    std::map<std::string, std::vector<int64_t>> starts;
    for (const FrameRow& f : good) starts[f.channel].push_back(f.cycle);
    for (const char* channel : {"PP2", "Relay/PP1", "PWM Low", "PWM Mid", "PWM Hi"}) {
        const std::vector<int64_t>& s = starts[channel];
        ASSERT_FALSE(s.empty()) << channel;
        EXPECT_LE(s.front() - good.front().cycle, window) << channel;
        for (size_t i = 1; i < s.size(); ++i)
            EXPECT_LE(s[i] - s[i - 1], window) << channel << " silent after cycle " << s[i - 1];
        // The last window may end with a frame still on the wire.
        EXPECT_LE(cycles - s.back(), window + 10) << channel;
    }
    const sim::BoardLatches latches = Replay(run.frames);
    const std::array<uint8_t, 8> outputs{1, 1, 0, 0, 0, 1, 0, 0};  // J5 A, J5 B, K2
    EXPECT_EQ(latches.outputs, outputs);
    EXPECT_EQ(latches.SpindleWord(), 0x933);  // ratio 0.3 -> duty 307, on, ccw
}

INSTANTIATE_TEST_SUITE_P(IntraFrameDelay, Fairness,
                         ::testing::Values(FairnessCase{"fairness_ifd0.txt", 0}, FairnessCase{"fairness_ifd3.txt", 3}),
                         [](const auto& info) { return "Delay" + std::to_string(info.param.intraFrameDelay); });

TEST(EndToEnd, WiringAndSettingsGoThroughTheProfile) {
    const std::string given = simtest::ReadText(Scenario("profile_wiring.xml"));
    const SimRun run = RunSim(Scenario("profile_wiring.txt").string(),
                              {"--profile", Scenario("profile_wiring.xml").string(), "--profile-out", "{dir}/saved.xml"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // Output 16 comes from Preferences, and the setting line overrides the file's zzzzz 0.
    ASSERT_FALSE(run.frames.empty());
    EXPECT_EQ(run.frames.front().cycle, 16);
    for (const FrameRow& f : run.frames) EXPECT_EQ(f.word, 0x6B);
    EXPECT_EQ(simtest::ReadText(Scenario("profile_wiring.xml")), given);
    const std::string saved = simtest::ReadText(run.dir / "saved.xml");
    EXPECT_NE(saved.find("<Preferences>"), std::string::npos);
    EXPECT_NE(saved.find("<zzzzz>1</zzzzz>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<ExpandedMode>0</ExpandedMode>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<IdleDelay>3</IdleDelay>"), std::string::npos) << saved;
}

TEST(EndToEnd, UsersProfileIsOnlyRead) {
    const std::string sample = simtest::ReadText(TRELVO_SAMPLE_PROFILE);
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() / "trelvo-simtest-sample.xml";
    std::filesystem::copy_file(TRELVO_SAMPLE_PROFILE, scratch, std::filesystem::copy_options::overwrite_existing);
    const SimRun run = RunSim(Scenario("serial_test_ifd0.txt").string(),
                              {"--profile", scratch.string(), "--profile-out", "{dir}/saved.xml"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.frames.size(), 10u);
    EXPECT_EQ(simtest::ReadText(scratch), sample);
    EXPECT_EQ(simtest::RunCheck(scratch.string()).exitCode, 1);
    EXPECT_EQ(simtest::ReadText(scratch), sample);
    // The copy took the settings in the file's own style: without the new section it is the sample.
    std::string saved = simtest::ReadText(run.dir / "saved.xml");
    const size_t section = saved.find("<TRELVO40>");
    ASSERT_NE(section, std::string::npos) << saved;
    saved.erase(section, saved.find("</TRELVO40>") + 11 - section);
    EXPECT_EQ(saved, sample);
    // With no scenario the run is the user's machine: nothing on port 1 pin 16, no section added.
    // An existing --profile-out file keeps its mode.
    const std::filesystem::path out = std::filesystem::temp_directory_path() / "trelvo-simtest-out.xml";
    { std::ofstream(out) << "old"; }
    std::filesystem::permissions(out, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // --log leaves nothing of its own in the profile the plug-in saved.
    const SimRun own = RunSim("", {"--profile", scratch.string(), "--profile-out", out.string(), "--log", "{dir}/run.log"});
    ASSERT_EQ(own.exitCode, 0) << own.err;
    EXPECT_TRUE(own.frames.empty());
    EXPECT_EQ(simtest::ReadText(out), sample);
    EXPECT_EQ(std::filesystem::status(out).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove(out);
    // Saved as the store saves: a read-only output is refused, even for root, and a link to nothing
    // is not followed to make a file.
    { std::ofstream(out) << "old"; }
    std::filesystem::permissions(out, std::filesystem::perms::owner_read);
    const SimRun readOnly = RunSim("", {"--profile", scratch.string(), "--profile-out", out.string()});
    EXPECT_EQ(readOnly.exitCode, 2);
    EXPECT_NE(readOnly.err.find("cannot write " + out.string() + ": the file is read-only"), std::string::npos) << readOnly.err;
    EXPECT_EQ(simtest::ReadText(out), "old");
    std::filesystem::remove(out);
    std::filesystem::create_symlink(out.string() + ".d/nowhere.xml", out);
    const SimRun dangling = RunSim("", {"--profile", scratch.string(), "--profile-out", out.string()});
    EXPECT_EQ(dangling.exitCode, 2);
    EXPECT_NE(dangling.err.find("a symbolic link to a file that does not exist"), std::string::npos) << dangling.err;
    EXPECT_FALSE(std::filesystem::exists(out.string() + ".d"));
    std::filesystem::remove(out);
    // A debug log the profile names ran in the temporary folder; the saved profile names the user's own.
    std::string logged = sample;
    logged.insert(logged.rfind("</profile>"), "<TRELVO40><DebugLogFile>" + scratch.string() + "</DebugLogFile></TRELVO40>");
    std::ofstream(scratch, std::ios::binary) << logged;
    const SimRun log = RunSim("", {"--profile", scratch.string(), "--profile-out", "{dir}/saved.xml", "--log", "{dir}/run.log"});
    ASSERT_EQ(log.exitCode, 0) << log.err;
    EXPECT_EQ(simtest::ReadText(log.dir / "saved.xml"), logged);
    EXPECT_EQ(simtest::ReadText(scratch), logged);
    std::filesystem::remove(scratch);
}

struct InputCase {
    const char* name;
    std::vector<std::string> args;  // {in}: the folder of inputs made below
    int exitCode;
    std::string shows;  // in standard error when refused, else in the account; {in} as above
    std::vector<std::string> untouched = {};  // files whose bytes, mode, owner, mtime and ctime must stay
    std::vector<std::string> absent = {};     // files that must not exist afterwards
    std::vector<std::pair<std::string, std::string>> holds = {};  // files and a line they must hold
    bool asRoot = false;  // needs root, which makes links another user's
    friend void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }
};

// What a run must leave as it was: the bytes, and what stat says of the file but its access time.
struct FileState {
    std::string bytes;
    struct stat st {};
    bool operator==(const FileState& o) const {
        return bytes == o.bytes && st.st_mode == o.st.st_mode && st.st_uid == o.st.st_uid && st.st_gid == o.st.st_gid &&
               st.st_mtim.tv_sec == o.st.st_mtim.tv_sec && st.st_mtim.tv_nsec == o.st.st_mtim.tv_nsec &&
               st.st_ctim.tv_sec == o.st.st_ctim.tv_sec && st.st_ctim.tv_nsec == o.st.st_ctim.tv_nsec &&
               st.st_ino == o.st.st_ino && st.st_nlink == o.st.st_nlink;
    }
    friend void PrintTo(const FileState& f, std::ostream* os) {
        *os << f.bytes.size() << " bytes, mode " << std::oct << f.st.st_mode << std::dec << ", owner " << f.st.st_uid << ':'
            << f.st.st_gid << ", mtime " << f.st.st_mtim.tv_sec << '.' << f.st.st_mtim.tv_nsec << ", ctime "
            << f.st.st_ctim.tv_sec << '.' << f.st.st_ctim.tv_nsec;
    }
};

FileState StateOf(const std::string& path) {
    FileState f;
    f.bytes = simtest::ReadText(path);
    EXPECT_EQ(stat(path.c_str(), &f.st), 0) << path;
    return f;
}

class Inputs : public ::testing::TestWithParam<InputCase> {
public:
    static void SetUpTestSuite() {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "trelvo-simtest-in-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        in_ = pattern;
        ASSERT_EQ(mkfifo((in_ / "fifo").c_str(), 0600), 0);
        const std::map<std::string, std::string> files{
            {"bom.txt", "\xEF\xBB\xBFoutput 16 port 1 pin 16\nrun 10\n"},
            {"typo.txt", "output 16 port 1 pin 16\nsetting ExpandedMod 0\n"},
            {"foo.xml", "<foo/>"},
            {"bare.xml", "<profile><TRELVO40/></profile>"},
            {"empty.xml", ""},
            {"earlier.html", "<p>the page of an earlier check</p>\n"},
            {"blank.xml", "\xEF\xBB\xBF \r\n\t\n"},
            {"big.xml", ""},
            {"broken.xml", "<profile><Preferences>\n<Output1Pin>2</Pin></Preferences></profile>"},
            {"ratio.txt", "output 16 port 1 pin 16\nsetting ExpandedMode 0\nsetting EnableSpindle 1\nat 5 estop off\n"
                          "at 20 spindle on\nat 100 spindle-ratio 1.5\nrun 200\n"},
            {"long.txt", "output 16 port 1 pin 16\nsetting ExpandedMode 0\nat 5 estop off\nrun 100000000\n"}};
        for (const auto& [name, text] : files) std::ofstream(in_ / name, std::ios::binary) << text;
        fs::resize_file(in_ / "big.xml", (size_t{64} << 20) + 1);  // sparse: one byte over the plug-in's limit
        // Profiles whose debug log is the profile itself, a hard link to it, and another file of the user's.
        const std::string sample = simtest::ReadText(TRELVO_SAMPLE_PROFILE);
        auto logTo = [&](const std::string& name, const fs::path& log) {
            std::string xml = sample;
            xml.insert(xml.rfind("</profile>"), "<TRELVO40><DebugLogFile>" + log.string() +
                                                    "</DebugLogFile><DebugLogLevel>5</DebugLogLevel></TRELVO40>");
            std::ofstream(in_ / name, std::ios::binary) << xml;
        };
        logTo("logself.xml", in_ / "logself.xml");
        logTo("loglink.xml", in_ / "loglink-2.xml");
        fs::create_hard_link(in_ / "loglink.xml", in_ / "loglink-2.xml");
        logTo("logother.xml", in_ / "Mach3.log");
        std::ofstream(in_ / "Mach3.log", std::ios::binary) << "the machinist's own log\n";
        std::ofstream(in_ / "logsetting.txt", std::ios::binary) << "setting DebugLogFile " << (in_ / "Mach3.log").string()
                                                                << "\nsetting DebugLogLevel 5\nrun 20\n";
        // A sticky folder everyone may write, as /tmp, where another user (4242) planted links to the
        // user's notes, to a name not yet there and to a folder; and a link of the user's own.
        fs::create_directory(in_ / "shared");
        fs::permissions(in_ / "shared", fs::perms::all | fs::perms::sticky_bit);
        std::ofstream(in_ / "notes.txt", std::ios::binary) << "the user's own notes\n";
        const auto plant = [](const fs::path& target, const std::string& name, uid_t owner) {
            fs::create_symlink(target, in_ / "shared" / name);
            lchown((in_ / "shared" / name).c_str(), owner, owner);
        };
        for (const char* name : {"out.xml", "wire.txt", "frames.csv", "run.vcd", "run.log", "page.html", "pinout.svg"})
            plant(in_ / "notes.txt", name, 4242);
        plant(in_ / "planted.txt", "nothing.txt", 4242);
        plant(in_, "folder", 4242);
        plant(in_ / "mine.txt", "mine.txt", ::geteuid());
        logTo("logforeign.xml", in_ / "shared" / "run.log");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(in_); }
    static std::string In(std::string text) {
        for (size_t at; (at = text.find("{in}")) != std::string::npos;) text.replace(at, 4, in_.string());
        return text;
    }

protected:
    static inline std::filesystem::path in_;
};

TEST_P(Inputs, RefusedBeforeAnythingRunsOrReadAsThePlugInReadsIt) {
    const InputCase& c = GetParam();
    if (c.asRoot && ::geteuid() != 0) GTEST_SKIP() << "only root can make a link another user's";
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(In(a));
    std::vector<FileState> before;
    for (const std::string& file : c.untouched) before.push_back(StateOf(In(file)));
    const SimRun run = simtest::RunArgs(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_NE((c.exitCode == 2 ? run.err : run.out).find(In(c.shows)), std::string::npos) << run.out << run.err;
    if (c.exitCode == 2) {
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    for (size_t i = 0; i < c.untouched.size(); ++i) EXPECT_EQ(StateOf(In(c.untouched[i])), before[i]) << c.untouched[i];
    for (const std::string& file : c.absent) EXPECT_FALSE(std::filesystem::exists(In(file))) << file;
    for (const auto& [file, line] : c.holds)
        EXPECT_NE(simtest::ReadText(In(file)).find(line), std::string::npos) << file << " lacks " << line;
}

const std::vector<std::string> kLogFiles = {"{in}/logself.xml", "{in}/loglink.xml", "{in}/loglink-2.xml", "{in}/logother.xml",
                                            "{in}/Mach3.log"};

INSTANTIATE_TEST_SUITE_P(
    Given, Inputs,
    ::testing::Values(
        InputCase{"BadLine", {Scenario("bad_line.txt").string()}, 2, "scenario:3: estop must be on or off, not 'sideways'\n"},
        InputCase{"UnknownSetting", {"{in}/typo.txt"}, 2, "scenario:2: unknown setting 'ExpandedMod'; did you mean ExpandedMode?"},
        InputCase{"ByteOrderMark", {"{in}/bom.txt"}, 0, "port 1 pin 16: output 16"},
        InputCase{"Directory", {"{in}"}, 2, "trelvo-sim: cannot read scenario {in}: not a regular file"},
        InputCase{"Fifo", {"{in}/fifo"}, 2, "cannot read scenario {in}/fifo: not a regular file"},
        InputCase{"Device", {"/dev/zero"}, 2, "cannot read scenario /dev/zero: not a regular file"},
        InputCase{"ProfileFifo", {"--profile", "{in}/fifo"}, 2, "cannot read profile {in}/fifo: not a regular file"},
        InputCase{"ProfileTooBig", {"--profile", "{in}/big.xml"}, 2, "cannot read profile {in}/big.xml: file too large"},
        InputCase{"NotAProfile", {"--check", "--profile", "{in}/foo.xml"}, 2, "its root element is <foo>, not <profile>"},
        InputCase{"NoPreferences", {"--profile", "{in}/bare.xml"}, 2, "is not a host profile: it has no Preferences element"},
        InputCase{"EmptyProfile", {"--profile", "{in}/empty.xml"}, 0, "the file is empty"},
        // Checked, an empty or blank file is no machine with nothing wired: one line, and what to do.
        InputCase{"EmptyProfileChecked", {"--check", "--profile", "{in}/empty.xml", "--report", "{in}/empty.html"}, 2,
                  "trelvo-sim: {in}/empty.xml: this file is empty: not a profile. Check the profile Mach3 uses "
                  "(C:\\Mach3\\Mach3Mill.xml, say); if it is this one, restore it from the copy Mach3 keeps or from a "
                  "backup\n",
                  {}, {"{in}/empty.html"}},
        InputCase{"BlankProfileChecked", {"--check", "--profile", "{in}/blank.xml"}, 2,
                  "trelvo-sim: {in}/blank.xml: this file is empty: not a profile."},
        InputCase{"X87PrecisionOnLinux", {"{in}/bom.txt", "--x87-precision", "64"}, 2,
                  "trelvo-sim: --x87-precision 64 needs the 32-bit Windows build"},
        InputCase{"X87PrecisionUnknown", {"{in}/bom.txt", "--x87-precision", "80"}, 2, "trelvo-sim: --x87-precision: 80 not in {53,64}"},
        // The plug-in holds a ratio to 0..1; the account says so, and expects what the plug-in sends.
        InputCase{"RatioAboveOne", {"{in}/ratio.txt"}, 0, "host: spindle-ratio 1.5 (outside 0 to 1: the plug-in sends 1, full speed)"},
        InputCase{"RatioAboveOneLatched", {"{in}/ratio.txt"}, 0, "latency, spindle: 2 changes, shown 2,"},
        InputCase{"CommandLine", {"--bogus"}, 2, "trelvo-sim: The following argument was not expected: --bogus\nusage: "},
        InputCase{"ReportWithoutCheck", {"--report", "{in}/r.html"}, 2, "trelvo-sim: --report needs --check\n", {}, {"{in}/r.html"}},
        InputCase{"CheckWithAScenario", {"--check", "{in}/bom.txt"}, 2, "trelvo-sim: --check takes no scenario"},
        InputCase{"RefusedProfileLeavesNoPage", {"--check", "--profile", "{in}/foo.xml", "--report", "{in}/left.html"}, 2,
                  "its root element is <foo>", {}, {"{in}/left.html"}},
        InputCase{"RefusedProfileKeepsTheEarlierPage", {"--check", "--profile", "{in}/foo.xml", "--report", "{in}/earlier.html"},
                  2, "its root element is <foo>", {"{in}/earlier.html"}},
        InputCase{"NotWellFormed", {"--check", "--profile", "{in}/broken.xml"}, 2,
                  "trelvo-sim: {in}/broken.xml is not well-formed XML: line 2, column 16: mismatched tag. The profile is "
                  "damaged: restore it from the copy Mach3 keeps or from a backup, then check it again\n"},
        // The debug log a profile or a setting line names goes into the simulator's own folder.
        InputCase{"LogIsTheProfileChecked", {"--check", "--profile", "{in}/logself.xml"}, 1,
                  "\ndebug log: the profile's DebugLogFile names {in}/logself.xml; the check wrote the log to ", kLogFiles},
        InputCase{"LogIsTheProfileRun", {"--profile", "{in}/logself.xml"}, 0,
                  "debug log: DebugLogFile names {in}/logself.xml (the profile); the plug-in writes its log to ", kLogFiles},
        InputCase{"LogIsALinkToTheProfileChecked", {"--check", "--profile", "{in}/loglink.xml"}, 1,
                  "DebugLogFile names {in}/loglink-2.xml;", kLogFiles},
        InputCase{"LogIsALinkToTheProfileRun", {"--profile", "{in}/loglink.xml"}, 0, "DebugLogFile names {in}/loglink-2.xml (",
                  kLogFiles},
        InputCase{"LogIsAnotherFileChecked", {"--check", "--profile", "{in}/logother.xml"}, 1, "DebugLogFile names {in}/Mach3.log;",
                  kLogFiles},
        InputCase{"LogIsAnotherFileRun", {"--profile", "{in}/logother.xml"}, 0, "DebugLogFile names {in}/Mach3.log (", kLogFiles},
        InputCase{"LogFromASettingLine", {"{in}/logsetting.txt"}, 0,
                  "DebugLogFile names {in}/Mach3.log (a setting line of the scenario); the plug-in writes its log to ",
                  kLogFiles},
        // --log keeps the run's log: at the profile's level (5 here), at DEBUG when none is set.
        InputCase{"LogKeptFromASettingLine", {"{in}/logsetting.txt", "--log", "{in}/kept.log"}, 0,
                  "instead, copied to {in}/kept.log after the run\n", kLogFiles, {},
                  {{"{in}/kept.log", " [SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log (level=5 in myProfileInit) ***\n"},
                   {"{in}/kept.log", " [ALL]: myUpdate\n"}}},
        InputCase{"LogKeptWithoutDebugLogFile", {"{in}/bom.txt", "--log", "{in}/plain.log"}, 0,
                  "debug log: the plug-in writes its log to ", {}, {},
                  {{"{in}/plain.log", " [SYSTEM]: *** TRELVO-40/41 Plug-In Debug Log (level=4 in myProfileInit) ***\n"},
                   {"{in}/plain.log", " [SYSTEM]: *** Closing Log File  ***\n"}}},
        InputCase{"LogKeptByTheCheck", {"--check", "--profile", "{in}/logother.xml", "--log", "{in}/check.log"}, 1,
                  "the check wrote the log to {in}/check.log instead (--log), so that file is not touched\n", kLogFiles, {},
                  {{"{in}/check.log", "(level=5 in myProfileInit) ***\n"}}},
        // --log never names a file the run reads or writes otherwise.
        InputCase{"LogIsTheProfile", {"--profile", "{in}/logself.xml", "--log", "{in}/logself.xml"}, 2,
                  "trelvo-sim: --log {in}/logself.xml names the profile (--profile); the debug log needs a file of its own\n",
                  kLogFiles},
        InputCase{"LogIsTheProfileSpeltOtherwise", {"--check", "--profile", "{in}/logself.xml", "--log", "{in}/./logself.xml"},
                  2, "names the profile (--profile)", kLogFiles},
        InputCase{"LogIsALinkToTheProfile", {"--profile", "{in}/loglink.xml", "--log", "{in}/loglink-2.xml"}, 2,
                  "--log {in}/loglink-2.xml names the profile (--profile)", kLogFiles},
        InputCase{"LogIsTheScenario", {"{in}/logsetting.txt", "--log", "{in}/logsetting.txt"}, 2, "names the scenario",
                  {"{in}/logsetting.txt"}},
        InputCase{"LogIsTheModule", {"--log", TRELVO_MODULE_FILE}, 2, "names the plug-in module"},
        InputCase{"LogIsTheWire", {"{in}/bom.txt", "--wire", "{in}/w.txt", "--log", "{in}/w.txt"}, 2,
                  "names the output of --wire", {}, {"{in}/w.txt"}},
        InputCase{"LogIsTheWireSpeltOtherwise", {"{in}/bom.txt", "--wire", "{in}/./w.txt", "--log", "{in}/w.txt"}, 2,
                  "names the output of --wire", {}, {"{in}/w.txt"}},
        InputCase{"LogIsTheSavedProfile", {"{in}/bom.txt", "--profile-out", "{in}/o.xml", "--log", "{in}/o.xml"}, 2,
                  "names the output of --profile-out", {}, {"{in}/o.xml"}},
        InputCase{"LogIsThePage", {"--check", "--report", "{in}/p.html", "--log", "{in}/p.html"}, 2,
                  "names the output of --report", {}, {"{in}/p.html"}},
        // No output follows another user's link in a sticky folder, whatever the kernel's setting.
        InputCase{"ProfileOutThroughAnotherUsersLink", {"{in}/bom.txt", "--profile-out", "{in}/shared/out.xml"}, 2,
                  "trelvo-sim: cannot write {in}/shared/out.xml: a link another user may have planted, not followed "
                  "({in}/shared/out.xml)\n", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"WireThroughAnotherUsersLink", {"{in}/bom.txt", "--wire", "{in}/shared/wire.txt"}, 2,
                  "cannot write {in}/shared/wire.txt: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"FramesThroughAnotherUsersLink", {"{in}/bom.txt", "--frames", "{in}/shared/frames.csv"}, 2,
                  "cannot write {in}/shared/frames.csv: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"VcdThroughAnotherUsersLink", {"{in}/bom.txt", "--vcd", "{in}/shared/run.vcd"}, 2,
                  "cannot write {in}/shared/run.vcd: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"LogThroughAnotherUsersLink", {"{in}/bom.txt", "--log", "{in}/shared/run.log"}, 2,
                  "cannot write {in}/shared/run.log: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"CheckLogThroughAnotherUsersLink", {"--check", "--log", "{in}/shared/run.log"}, 2,
                  "cannot write {in}/shared/run.log: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"ReportThroughAnotherUsersLink", {"--check", "--report", "{in}/shared/page.html"}, 2,
                  "cannot write {in}/shared/page.html: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"PinoutThroughAnotherUsersLink", {"--pinout", "{in}/shared/pinout.svg"}, 2,
                  "cannot write {in}/shared/pinout.svg: a link another user", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"OutputThroughAnotherUsersFolderLink", {"{in}/bom.txt", "--wire", "{in}/shared/folder/notes.txt"}, 2,
                  "cannot write {in}/shared/folder/notes.txt: a link another user may have planted, not followed "
                  "({in}/shared/folder)", {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"OutputThroughAnotherUsersLinkToNothing", {"{in}/bom.txt", "--wire", "{in}/shared/nothing.txt"}, 2,
                  "cannot write {in}/shared/nothing.txt: a link another user", {}, {"{in}/planted.txt"}, {}, true},
        InputCase{"LogIsAnotherUsersLinkChecked", {"--check", "--profile", "{in}/logforeign.xml"}, 1,
                  "  - fault, DebugLogFile names {in}/shared/run.log, a link another user may have planted: the "
                  "plug-in follows no such link and writes no debug log at all\n",
                  {"{in}/notes.txt"}, {}, {}, true},
        InputCase{"OutputThroughTheUsersOwnLink", {"{in}/bom.txt", "--wire", "{in}/shared/mine.txt"}, 0,
                  "port 1 pin 16: output 16", {}, {}, {{"{in}/mine.txt", "0"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// The sample profile with at least `pad` more bytes of elements of unique names.
void WriteLargeProfile(const std::filesystem::path& path, size_t pad) {
    std::string xml = simtest::ReadText(TRELVO_SAMPLE_PROFILE);
    std::string tools = "<Tools>";
    for (int i = 0; tools.size() < pad; ++i) tools += "<Tool" + std::to_string(i) + ">1</Tool" + std::to_string(i) + ">";
    xml.insert(xml.rfind("</profile>"), tools + "</Tools>");
    std::ofstream(path, std::ios::binary) << xml;
}

// Signals end the run as they would have, without the copy of the profile; a folder that a killed
// run left (older than an hour) goes with the next run, a recent one stays.
// A check that takes seconds says what it is doing; a small one says nothing more.
TEST_F(Inputs, ALargeProfileShowsProgress) {
    WriteLargeProfile(in_ / "large.xml", size_t{5} << 19);
    const SimRun large = simtest::RunArgs({"--check", "--profile", (in_ / "large.xml").string()});
    EXPECT_EQ(large.exitCode, 1) << large.err;
    EXPECT_EQ(large.err, "trelvo-sim: the profile is 2.6 MB; reading it as the plug-in does takes a while\n"
                         "trelvo-sim: profile read; switching the outputs\n");
    const SimRun small = simtest::RunArgs({"--check", "--profile", TRELVO_SAMPLE_PROFILE});
    EXPECT_EQ(small.err, "");
}

TEST_F(Inputs, InterruptsLeaveNoTemporaryFolder) {
    namespace fs = std::filesystem;
    const fs::path temp = in_ / "tmp";
    fs::create_directories(temp / "trelvo-sim-stale");
    fs::create_directories(temp / "trelvo-sim-recent");
    fs::last_write_time(temp / "trelvo-sim-stale", fs::file_time_type::clock::now() - std::chrono::hours(2));
    auto folders = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(temp)) names.insert(e.path().filename().string());
        return names;
    };
    // A check that is stopped keeps the page of an earlier one as it was, and leaves no other file.
    WriteLargeProfile(in_ / "large.xml", size_t{5} << 20);
    const fs::path pages = in_ / "pages";
    fs::create_directories(pages);
    const std::string earlier = "<html>an earlier check</html>\n";
    std::ofstream(pages / "check.html", std::ios::binary) << earlier;
    const std::vector<std::string> check = {"--check", "--profile", (in_ / "large.xml").string(), "--report",
                                            (pages / "check.html").string()};
    const std::pair<int, std::vector<std::string>> runs[] = {
        {SIGINT, {(in_ / "long.txt").string()}}, {SIGTERM, {(in_ / "long.txt").string()}},
        {SIGHUP, {(in_ / "long.txt").string()}}, {SIGINT, check}, {SIGTERM, check}};
    for (const auto& [signal, arguments] : runs) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("TMPDIR", temp.c_str(), 1);
            freopen("/dev/null", "w", stdout);
            freopen((temp.parent_path() / "err.txt").c_str(), "w", stderr);
            std::vector<char*> argv = {const_cast<char*>(TRELVO_SIM_EXE)};
            for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(TRELVO_SIM_EXE, argv.data());
            _exit(127);
        }
        // The copy of the profile is written once the run is ready for signals.
        auto copied = [&] {
            for (const std::string& name : folders())
                if (name != "trelvo-sim-stale" && name != "trelvo-sim-recent" && !fs::is_empty(temp / name)) return true;
            return false;
        };
        for (int i = 0; i < 3000 && !copied(); ++i) usleep(10'000);
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << " status " << status;
        EXPECT_EQ(folders(), std::set<std::string>{"trelvo-sim-recent"}) << signal;
        // Stopped at once, not at the end of the run.
        EXPECT_NE(simtest::ReadText(in_ / "err.txt").find("trelvo-sim: interrupted;"), std::string::npos) << signal;
        EXPECT_EQ(simtest::ReadText(pages / "check.html"), earlier) << signal;
        EXPECT_EQ(std::distance(fs::directory_iterator(pages), fs::directory_iterator()), 1) << signal;
    }
}

TEST(EndToEnd, ModuleProblemsAreNamed) {
    const SimRun missing = RunSim(Scenario("demo.txt").string(), {}, "/nonexistent/TRELVO-40.so");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("/nonexistent/TRELVO-40.so"), std::string::npos) << missing.err;
    const SimRun partial = RunSim(Scenario("demo.txt").string(), {}, TRELVO_FAKE_MODULE);
    EXPECT_EQ(partial.exitCode, 2);
    EXPECT_NE(partial.err.find("lacks the entry point PostInitControl"), std::string::npos) << partial.err;
    EXPECT_FALSE(std::filesystem::exists(partial.dir / "wire.txt"));
}

TEST(EndToEnd, BuiltInScenarioShowsTheBoardFollowing) {
    const SimRun run = RunSim("");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The header names the wiring in force; a board line names its host output, a silence line the EStop.
    EXPECT_NE(run.out.find("port 9 pin 1: output 7 \"Output #1\" (K1)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("board: J5 D on, from output 12 \"Output #6\" (active-low, off)"), std::string::npos);
    EXPECT_NE(run.out.find("Relay/PP1: 120 cycles from cycle 361; spans the EStop from cycle 400 to 440"), std::string::npos);
    EXPECT_NE(run.out.find("latency, spindle: 4 changes, shown 4, max 30, mean 20.0 cycles"), std::string::npos);
    EXPECT_NE(run.out.find("\n\n    summary  640 cycles\n"), std::string::npos) << run.out;
    const sim::BoardLatches latches = Replay(run.frames);
    // At the end: K1 off, K2 on, J5 A off, J5 C on, J5 D (active-low, now on) low; spindle off.
    const std::array<uint8_t, 8> outputs{0, 0, 1, 0, 0, 1, 0, 0};
    EXPECT_EQ(latches.outputs, outputs);
    EXPECT_TRUE(sim::DecodeSpindleWord(latches.SpindleWord()).off);
}

}  // namespace

namespace {

TEST(EndToEnd, DialogAndWarningsReachTheAccountAndTheProfile) {
    const SimRun run = RunSim(Scenario("config_and_warnings.txt").string(), {"--profile-out", "{dir}/saved.xml"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The step signal on port 8 is warned about by the first cycle and again on the config notification.
    EXPECT_NE(run.out.find("cycle 0  warning \"TRELVO-40\":"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("cycle 30  dialog shows:"), std::string::npos) << run.out;
    // The dialog names the bit-stream output by its host name.
    EXPECT_NE(run.out.find("Output #7", run.out.find("dialog shows:")), std::string::npos) << run.out;
    const std::string saved = simtest::ReadText(run.dir / "saved.xml");
    EXPECT_NE(saved.find("<ExpandedMode>1</ExpandedMode>"), std::string::npos) << saved;
    // Expanded Output mode from cycle 30: the charge pump stays on through the EStop at 60.
    EXPECT_EQ(run.out.find("charge pump disabled"), std::string::npos) << run.out;
    EXPECT_EQ(run.wire.substr(60, 19), std::string(19, '0'));
    std::vector<int64_t> after;
    for (const FrameRow& f : GoodFrames(run.frames))
        if (f.cycle >= 60) after.push_back(f.cycle);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), 81);
}

}  // namespace

namespace {

struct CheckCase {
    const char* name;
    std::string profile;  // empty: the built-in machine; with edits or a section: the sample, edited
    int exitCode;
    const char* verdict;
    std::vector<std::string> lines;  // starts of report lines: map rows, problems, fixes
    simtest::Edits edits = {};
    std::string section = "";  // {profile}: the edited profile's own path
    std::vector<std::string> absent = {};  // texts the report must not hold
    bool readOnly = false;                 // the profile is one its user cannot write
};

class WiringCheck : public ::testing::TestWithParam<CheckCase> {};

// Makes the file one this process cannot write, and back: root writes past any mode, not past the
// immutable flag. False where the file system has no such flag for root.
bool SetWritable(const std::string& path, bool writable) {
    if (geteuid() != 0) return chmod(path.c_str(), writable ? 0600 : 0400) == 0;
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    const bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = writable ? flags & ~FS_IMMUTABLE_FL : flags | FS_IMMUTABLE_FL,
                       ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) close(fd);
    return done;
}

TEST_P(WiringCheck, VerdictAndProblemsComeFromTheBoardAndTheProfile) {
    const CheckCase& c = GetParam();
    const bool edited = !c.edits.empty() || !c.section.empty();
    const std::string profile = edited ? simtest::EditedSample(c.edits, c.section) : c.profile;
    if (c.section.find("{profile}") != std::string::npos) {
        std::string xml = simtest::ReadText(profile);
        xml.replace(xml.find("{profile}"), 9, profile);
        std::ofstream(profile, std::ios::binary) << xml;
    }
    if (c.readOnly && !SetWritable(profile, false)) {
        std::filesystem::remove(profile);
        GTEST_SKIP() << "this file system cannot make a file read-only for root";
    }
    const SimRun run = simtest::RunCheck(profile);
    if (c.readOnly) {
        EXPECT_TRUE(SetWritable(profile, true));
    }
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_NE(run.out.find(c.verdict), std::string::npos) << run.out << run.err;
    for (const std::string& line : c.lines) EXPECT_NE(run.out.find("\n" + line), std::string::npos) << line << "\n" << run.out;
    for (const std::string& text : c.absent) EXPECT_EQ(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    // The verdict counts each fault the report lists once.
    size_t faults = 0;
    for (size_t at = run.out.find("\n  - fault, "); at != std::string::npos; at = run.out.find("\n  - fault, ", at + 1)) ++faults;
    const size_t more = run.out.find(" more fault", run.out.rfind("\ncheck failed: "));
    const size_t counted = run.exitCode != 1 ? 0 : more == std::string::npos ? 1 : 1 + std::stoul(run.out.substr(run.out.rfind(", and ", more) + 6));
    EXPECT_EQ(faults, counted) << run.out;
    // And each warning.
    size_t warnings = 0;
    for (size_t at = run.out.find("\n  - warning: "); at != std::string::npos; at = run.out.find("\n  - warning: ", at + 1))
        ++warnings;
    const std::string verdict = run.exitCode > 1 ? "" : run.out.substr(run.out.rfind("\ncheck "));
    const size_t warned = verdict.find(" warning");
    EXPECT_EQ(warnings, warned == std::string::npos ? 0 : std::stoul(verdict.substr(verdict.rfind(' ', warned - 1) + 1)))
        << run.out;
    // The input rows, worked out from the wiring, are those the plug-in's dialog shows.
    EXPECT_EQ(run.out.find("the plug-in's dialog shows the inputs otherwise"), std::string::npos) << run.out;
    if (edited) std::filesystem::remove(profile);
}

const std::string kFollowed = ": followed: switched on, latched on in 9 cycles; switched off, latched off in 9 cycles";
// The sample with the bit stream on output 16 and relay K1 on output 7.
const simtest::Edits kWired = {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"},
                               {"Output7Active", "1"},  {"Output7Port", "9"},  {"Output7Pin", "1"},
                               {"Input25Neg", "0"}};
simtest::Edits Wired(const simtest::Edits& more) {
    simtest::Edits all = kWired;
    all.insert(all.end(), more.begin(), more.end());
    return all;
}
const std::string kMode0 = "<ExpandedMode>0</ExpandedMode>";
const std::string kFault = "  - fault, ";
const std::string kNote = "  - note: ";

INSTANTIATE_TEST_SUITE_P(
    Profiles, WiringCheck,
    ::testing::Values(
        CheckCase{"BuiltIn", "", 0, "\ncheck passed: 6 of 6 wired board outputs followed the host, and the spindle\n",
                  {"  K1     output 7 \"Output #1\"" + kFollowed + "\n", "  J6 16  not wired",
                   "  J5 D   output 12 \"Output #6\", active-low: followed: switched on, latched off in 9 cycles; "
                   "switched off, latched on in 9 cycles",
                   "  off: latched in 9 cycles"},
                  {}, "", {"the profile cannot be written"}},
        CheckCase{"Correct", Scenario("check_correct.xml").string(), 0,
                  "\ncheck passed: 4 of 4 wired board outputs followed the host, and the spindle; 1 warning below\n",
                  {"  J6 17  output 20 \"Output #11\"" + kFollowed, "  K2     not wired"}},
        CheckCase{"ActiveLowBitStream", Scenario("check_stream_active_low.xml").string(), 0,
                  "\ncheck passed: 1 of 1 wired board outputs followed the host\n",
                  {"  J5 B   output 8 \"Output #2\"" + kFollowed}},
        CheckCase{"NotXml", Scenario("bad_line.txt").string(), 2, "", {}},
        CheckCase{"Missing", "/nonexistent/profile.xml", 2, "", {}},
        // The sample as it is: nothing on port 1 pin 16, no mode set, nothing on the board.
        CheckCase{"Sample", TRELVO_SAMPLE_PROFILE, 1,
                  "\ncheck failed: every board output and the spindle will not work: nothing on port 1 pin 16, so the "
                  "board hears nothing, and 3 more faults (0 of 0 wired board outputs followed the host)\n",
                  {"settings: ExpandedMode 2 (not set; the plug-in's default), EnableSpindle 0\n",
                   // A build after a release says so: the version is the build's, never the release's alone.
                   "version: trelvo-sim " TRELVO_BUILD_VERSION_TEXT "\n",
                   "    fix: in Mach3's Config > Ports and Pins > Output Signals, enable one spare output (Output #7, say) "
                   "on port 1, pin 16, not active-low\n",
                   kFault + "every board output and the spindle will not work: ExpandedMode is 2 (Expanded Input Mode), "
                            "the plug-in's default, as the profile sets none",
                   kFault + "the board's outputs will not work: no host output is on a board output", "  Connector J12 \"15\": Probe"}},
        // The sample set up for the board: the converter's and the LinuxCNC machine test's fixture.
        CheckCase{"SampleSetUpForTheBoard", TRELVO_CONVERT_DATA_DIR "/board-ready.xml", 0,
                  "\ncheck passed: 2 of 2 wired board outputs followed the host, and the spindle\n",
                  {"settings: ExpandedMode 0, EnableSpindle 1\n", "  K1     output 9 \"Output #3\"" + kFollowed,
                   "  J5 A   output 10 \"Output #4\", active-low: followed:",
                   "EStop: the plug-in keeps input 25 \"EStop\" on port 1 pin 10, active-low (SimMode 1); the profile agrees\n",
                   "problems (a fault fails the check, a warning does not but asks you to act; notes follow):\n"
                   "  - note: output 10 \"Output #4\" on J5 A: inverted by Active Low"}},
        CheckCase{"WiredFromTheSample", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host\n",
                  {"  K1     output 7 \"Output #1\"" + kFollowed, "problems (a fault fails the check, a warning does not but asks you to act; notes follow):\n  none\n",
                   "EStop: the plug-in keeps input 25 \"EStop\" on port 1 pin 10, active-high (SimMode 0); the profile agrees\n",
                   "  after any change to the wiring or the profile, press the EStop button and see Mach3 enter EStop\n"},
                  kWired, kMode0},
        CheckCase{"EStopOnAnotherPin", "", 1,
                  "\ncheck failed: the EStop button will not work unless it is wired to the board's EStop terminal (port 1 "
                  "pin 10): input 25 \"EStop\" is on port 1 pin 15 in Ports and Pins",
                  {"    fix: wire the EStop button to the board's EStop terminal (port 1 pin 10), and set Input 25 (EStop) to "
                   "port 1 pin 10 in Config > Ports and Pins > Input Signals"},
                  Wired({{"Input25Pin", "15"}}), kMode0},
        CheckCase{"EStopPolarityNotKept", "", 1,
                  "\ncheck failed: the EStop button will not work: input 25 \"EStop\" is active-low in Ports and Pins "
                  "(Input25Neg 1), but SimMode is 0, so the plug-in makes it active-high",
                  {"    fix: set SimMode to 1 in section TRELVO40 of the profile"}, Wired({{"Input25Neg", "1"}}), kMode0},
        CheckCase{"EStopPolarityKeptBySimMode", "", 0, "\ncheck passed: 1 of 1", {}, Wired({{"Input25Neg", "1"}}),
                  kMode0 + "<SimMode>1</SimMode>"},
        CheckCase{"ChargePumpOnInEStop", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host; 1 warning below\n",
                  {"  - warning: in Expanded Output Mode the charge pump stays on during EStop, so it will not stop the drives\n",
                   "    fix: if the machine relies on the charge pump to stop the drives in EStop, choose Expanded I/O Mode"},
                  kWired, "<ExpandedMode>1</ExpandedMode>"},
        CheckCase{"OutputOnAMotorsStepPin", "", 1,
                  "\ncheck failed: output 8 \"Output #2\" and motor 0 (X) will not work: the output is on port 1 pin 2, the "
                  "motor's step pin", {}, Wired({{"Output8Active", "1"}, {"Output8Port", "1"}, {"Output8Pin", "2"}}), kMode0},
        CheckCase{"OutputOnTheEStopPin", "", 1,
                  "\ncheck failed: output 8 \"Output #2\" will not work: it is on port 1 pin 10, the board's EStop terminal",
                  {}, Wired({{"Output8Active", "1"}, {"Output8Port", "1"}, {"Output8Pin", "10"}}), kMode0},
        CheckCase{"StepOnTheChargePumpPin", "", 1,
                  "\ncheck failed: motor 0 (X) will not work: its step signal is on port 1 pin 17, where the plug-in keeps "
                  "the charge pump", {}, Wired({{"Motor0StepPin", "17"}}), kMode0},
        CheckCase{"DisabledOnABoardPin", "", 0, "\ncheck passed: 1 of 1",
                  {"  K2     not wired (output 8 \"Output #2\" is set here, but disabled)\n",
                   kNote + "output 8 \"Output #2\" is set to port 9 pin 14 (K2) but disabled, so K2 does not follow it\n"},
                  Wired({{"Output8Port", "9"}, {"Output8Pin", "14"}}), kMode0},
        CheckCase{"ActiveLowRelay", "", 0, "\ncheck passed: 1 of 1",
                  {kNote + "output 7 \"Output #1\" on K1: inverted by Active Low: on while Mach3 shows it off\n"},
                  Wired({{"Output7Neg", "1"}}), kMode0},
        CheckCase{"StreamOutputDisabled", "", 1, "\ncheck failed: every board output and the spindle will not work: nothing on port 1 pin 16",
                  {"bit stream: nothing on port 1 pin 16, so the board hears nothing (output 16 \"Output #7\" is set there, but disabled)\n",
                   "    fix: in Mach3's Config > Ports and Pins > Output Signals, enable output 16 \"Output #7\": it is already "
                   "set to port 1, pin 16, but disabled\n"},
                  Wired({{"Output16Active", "0"}}), kMode0},
        // The stream's output enabled on another pin: named, with where it must go.
        CheckCase{"StreamOutputOnAnotherPin", "", 1,
                  "\ncheck failed: every board output and the spindle will not work: nothing on port 1 pin 16, so the board "
                  "hears nothing; output 16 \"Output #7\" is enabled on port 1 pin 8",
                  {"bit stream: nothing on port 1 pin 16, so the board hears nothing (output 16 \"Output #7\" is on another pin)\n",
                   "    fix: in Mach3's Config > Ports and Pins > Output Signals, move output 16 \"Output #7\" from port 1 pin 8 "
                   "to port 1 pin 16, the pin the board listens on\n"},
                  Wired({{"Output16Pin", "8"}}), kMode0, {"Output #7, say"}},
        CheckCase{"StreamOutputOnPort2", "", 1, "\ncheck failed: every board output and the spindle will not work: nothing",
                  {"    fix: in Mach3's Config > Ports and Pins > Output Signals, move output 16 \"Output #7\" from port 2 pin 16 "
                   "to port 1 pin 16"},
                  Wired({{"Output16Port", "2"}}), kMode0},
        CheckCase{"OnlyOutputOnAnotherPin16", "", 1, "; output 10 \"Output #4\" is enabled on port 2 pin 16",
                  {"    fix: in Mach3's Config > Ports and Pins > Output Signals, move output 10 \"Output #4\" from port 2 pin 16"},
                  Wired({{"Output16Active", "0"}, {"Output16Pin", "3"}, {"Output10Active", "1"}, {"Output10Port", "2"},
                         {"Output10Pin", "16"}}),
                  kMode0},
        // Two outputs on other pins 16, or the stream's output on a relay's pin: nothing says which was meant.
        CheckCase{"TwoOutputsOnOtherPins16", "", 1, "so the board hears nothing (",
                  {"    fix: in Mach3's Config > Ports and Pins > Output Signals, enable one spare output (Output #7, say)"},
                  Wired({{"Output16Active", "0"}, {"Output16Pin", "3"}, {"Output10Active", "1"}, {"Output10Port", "2"}, {"Output10Pin", "16"},
                         {"Output11Active", "1"}, {"Output11Port", "3"}, {"Output11Pin", "16"}}),
                  kMode0, {"move output"}},
        CheckCase{"StreamOutputOnARelay", "", 1, "so the board hears nothing (",
                  {"    fix: in Mach3's Config > Ports and Pins > Output Signals, enable one spare output (Output #7, say)"},
                  Wired({{"Output16Port", "9"}, {"Output16Pin", "14"}}), kMode0, {"move output"}},
        CheckCase{"ExpandedInputSetWithSpindle", "", 1, "\ncheck failed: every board output and the spindle will not work: ExpandedMode is 2",
                  {"settings: ExpandedMode 2, EnableSpindle 1\n", "spindle: not checked (Expanded Input mode)\n"},
                  kWired, "<ExpandedMode>2</ExpandedMode><EnableSpindle>1</EnableSpindle>"},
        CheckCase{"ModeNoneOfTheDialogs", "", 1, "\ncheck failed: the plug-in's mode will not work: ExpandedMode 7 is none of the dialog's modes",
                  {"  K1     output 7 \"Output #1\"" + kFollowed}, kWired, "<ExpandedMode>7</ExpandedMode>"},
        CheckCase{"StepOnPort8", "", 1, "\ncheck failed: motor 0 (X) will not work",
                  {kFault + "motor 0 (X) will not work: its step signal is on port 8: the board's expanded ports WILL NOT WORK "
                            "for step and direction signals\n"},
                  Wired({{"Motor0StepPort", "8"}}), kMode0},
        CheckCase{"DirectionOnPort9", "", 1, "\ncheck failed: motor 2 (Z) will not work",
                  {kFault + "motor 2 (Z) will not work: its direction signal is on port 9"}, Wired({{"Motor2DirPort", "9"}}), kMode0},
        CheckCase{"PinTheBoardLacks", "", 1, "\ncheck failed: output 8 \"Output #2\" will not work",
                  {kFault + "output 8 \"Output #2\" will not work: it is on port 9 pin 2, which the board does not have\n"},
                  Wired({{"Output8Active", "1"}, {"Output8Port", "9"}, {"Output8Pin", "2"}}), kMode0},
        CheckCase{"TwoOutputsOnOnePin", "", 1, "\ncheck failed: output 7 \"Output #1\" (on K1) will not work",
                  {kFault + "output 7 \"Output #1\" (on K1) will not work: it shares port 9 pin 1 with output 8 \"Output #2\"",
                   "  K1     output 7 \"Output #1\": NOT followed: no change when switched on or off (a higher output drives this pin)\n",
                   "         output 8 \"Output #2\": followed: switched on, latched on in"},
                  Wired({{"Output8Active", "1"}, {"Output8Port", "9"}, {"Output8Pin", "1"}}), kMode0, {"did not follow"}},
        CheckCase{"OnTheChargePumpPin", "", 1, "\ncheck failed: output 8 \"Output #2\" will not work: it is on port 1 pin 17",
                  {}, Wired({{"Output8Active", "1"}, {"Output8Port", "1"}, {"Output8Pin", "17"}}), kMode0},
        CheckCase{"OnTheEStopPin", "", 1, "\ncheck failed: input 0 \"X++\" will not work: it is on port 1 pin 10",
                  {}, Wired({{"Input0Pin", "10"}}), kMode0},
        CheckCase{"StepOnTheEStopPin", "", 1,
                  "\ncheck failed: motor 0 (X) will not work: its step signal is on port 1 pin 10, the board's EStop terminal",
                  {}, Wired({{"Motor0StepPin", "10"}}), kMode0},
        // Disabled, it fails once, for its pin: the polarity of a disabled input does not matter.
        CheckCase{"EStopDisabledOnItsPin", "", 1,
                  "\ncheck failed: the EStop button will not work unless it is wired to the board's EStop terminal (port 1 "
                  "pin 10): input 25 \"EStop\" is disabled in Ports and Pins, and the plug-in moves it to port 1 pin 10 on "
                  "every cycle (1 of 1",
                  {}, Wired({{"Input25Active", "0"}, {"Input25Neg", "1"}}), kMode0},
        CheckCase{"ChargePumpOnItsPin", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host\n", {},
                  Wired({{"Output13Active", "1"}, {"Output13Port", "1"}, {"Output13Pin", "17"}}), kMode0, {"Charge Pump"}},
        CheckCase{"ChargePumpOnJ5D", "", 1, "\ncheck failed: ",
                  {kNote + "output 13 \"Charge Pump\" is on port 8 pin 17; the plug-in moves it to port 1 pin 17"},
                  Wired({{"Output13Active", "1"}, {"Output13Port", "8"}, {"Output13Pin", "17"}}), kMode0},
        CheckCase{"ChargePumpOnJ6Pin17", "", 1, "\ncheck failed: ",
                  {kNote + "output 13 \"Charge Pump\" is on port 9 pin 17; the plug-in moves it to port 1 pin 17"},
                  Wired({{"Output13Active", "1"}, {"Output13Port", "9"}, {"Output13Pin", "17"}}), kMode0},
        CheckCase{"ActiveLowOnJ5A", "", 0, "\ncheck passed: 2 of 2",
                  {kNote + "output 9 \"Output #3\" on J5 A: inverted by Active Low: on while Mach3 shows it off\n"},
                  Wired({{"Output9Active", "1"}, {"Output9Port", "8"}, {"Output9Pin", "1"}, {"Output9Neg", "1"}}), kMode0},
        CheckCase{"DisabledOnJ5A", "", 0, "\ncheck passed: 1 of 1",
                  {"  J5 A   not wired (output 9 \"Output #3\" is set here, but disabled)\n",
                   kNote + "output 9 \"Output #3\" is set to port 8 pin 1 (J5 A) but disabled, so J5 A does not follow it\n"},
                  Wired({{"Output9Active", "0"}, {"Output9Port", "8"}, {"Output9Pin", "1"}}), kMode0},
        // The debug log the profile names, as the plug-in would treat it on the machine.
        CheckCase{"DebugLogIsAFileOfTheUsers", "", 1,
                  "\ncheck failed: DebugLogFile names " TRELVO_SAMPLE_PROFILE ", a file that is not the plug-in's debug log: "
                  "the plug-in leaves that file as it is and writes no debug log at all (1 of 1",
                  {"    fix: set DebugLogFile in section TRELVO40 of the profile to a file of the log's own"}, kWired,
                  kMode0 + "<DebugLogFile>" TRELVO_SAMPLE_PROFILE "</DebugLogFile><EnableDebug>1</EnableDebug>"},
        CheckCase{"DebugLogIsAnEarlierLog", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host\n", {}, kWired,
                  kMode0 + "<DebugLogFile>" + Scenario("earlier_run.log").string() + "</DebugLogFile>", {"erase"}},
        CheckCase{"DebugLogIsEmpty", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host\n", {}, kWired,
                  kMode0 + "<DebugLogFile>" + Scenario("empty_run.log").string() + "</DebugLogFile>", {"erase"}},
        CheckCase{"DebugLogIsNew", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host\n", {}, kWired,
                  kMode0 + "<DebugLogFile>/nonexistent/trelvo.log</DebugLogFile>", {"erase"}},
        CheckCase{"DebugLogIsTheProfile", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host; 1 warning below\n",
                  {"  - warning: DebugLogFile names the profile itself, which the plug-in will not write its log over: no log "
                   "will be written\n"},
                  kWired, kMode0 + "<DebugLogFile>{profile}</DebugLogFile>", {"erase"}},
        CheckCase{"ProfileReadOnly", "", 0, "\ncheck passed: 1 of 1 wired board outputs followed the host\n",
                  {kNote + "the profile cannot be written by the user running this check: the settings chosen in the "
                           "plug-in's dialog will not be saved unless Mach3's user can write it\n"},
                  kWired, kMode0, {}, true},
        CheckCase{"ProbeOnPort8InExpandedOutput", "", 1,
                  "\ncheck failed: input 22 \"Probe\" will not work: it is on port 8, which Expanded Output Mode ignores", {},
                  Wired({{"Input22Port", "8"}}), "<ExpandedMode>1</ExpandedMode>"},
        CheckCase{"DemoMode", "", 1, "\ncheck failed: every board output and the spindle will not work: DemoMode is on",
                  {"  K1     output 7 \"Output #1\": not checked: DemoMode drives the board\n",
                   "  on at ratio 0.5: not checked: DemoMode drives the board\n"},
                  // Slow frames: the demo pattern does not bring J5 A up again within the check's patience, so
                  // an output judged in DemoMode would fail.
                  Wired({{"Output9Active", "1"}, {"Output9Port", "8"}, {"Output9Pin", "1"}, {"Output9Neg", "1"}}),
                  kMode0 + "<DemoMode>1</DemoMode><EnableSpindle>1</EnableSpindle><IntraFrameDelay>300</IntraFrameDelay>",
                  {"did not follow", "did not latch"}},
        CheckCase{"SerialTestWord", "", 1, "\ncheck failed: every board output and the spindle will not work: zzzzz is on", {},
                  kWired, kMode0 + "<zzzzz>1</zzzzz>"},
        // Three frames of the spindle word take longer than the check waits; nothing else is wrong.
        CheckCase{"SpindleNeverLatched", "", 1,
                  "\ncheck failed: the spindle will not work: the board did not latch the speed or direction the host "
                  "asked for (0 of 0 wired board outputs followed the host)\n",
                  {"  on at ratio 0.5: NOT latched\n"},
                  {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"}, {"Input25Neg", "0"}},
                  kMode0 + "<EnableSpindle>1</EnableSpindle><IntraFrameDelay>1000</IntraFrameDelay>"},
        CheckCase{"NoFrames", "", 1, "\ncheck failed: every board output and the spindle will not work: the board received no frames",
                  {}, kWired, kMode0 + "<PostEStopDelay>5000</PostEStopDelay>"},
        // Notes only: the check passes.
        CheckCase{"PluginMovesChargePump", "", 0, "\ncheck passed: 1 of 1",
                  {kNote + "output 13 \"Charge Pump\" is on port 1 pin 3; the plug-in moves it to port 1 pin 17"},
                  Wired({{"Output13Active", "1"}, {"Output13Port", "1"}, {"Output13Pin", "3"}}), kMode0},
        CheckCase{"ProbeWarningForADisabledInput", "", 0, "\ncheck passed: 1 of 1",
                  {kNote + "the plug-in showed the warning box \"TRELVO-40\":\n    WARNING:\n    The PROBE signal"},
                  Wired({{"Input22Active", "0"}, {"Input22Port", "8"}}), "<ExpandedMode>1</ExpandedMode>"}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// On a terminal the report wraps at blanks to its width (80 when it has none); redirected, it does not.
TEST(WiringCheckText, WrapsAtBlanksToTheConsoleAndNotWhenRedirected) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script (util-linux) is not installed";
    const SimRun redirected = simtest::RunCheck(TRELVO_SAMPLE_PROFILE);
    ASSERT_EQ(redirected.exitCode, 1) << redirected.err;
    size_t longest = 0;
    std::istringstream lines(redirected.out);
    for (std::string line; std::getline(lines, line);) longest = std::max(longest, line.size());
    EXPECT_GT(longest, 120u) << "a redirected report keeps its long lines whole";
    for (const auto& [stty, width] : std::vector<std::pair<int, size_t>>{{60, 60}, {0, 80}}) {
        SCOPED_TRACE(stty);
        const std::filesystem::path typescript = redirected.dir / "tty.txt";
        const std::string command = "stty cols " + std::to_string(stty) + " rows 50; '" + TRELVO_SIM_EXE +
                                    "' --check --profile '" + TRELVO_SAMPLE_PROFILE + "'";
        ASSERT_NE(std::system(("script -qec \"" + command + "\" /dev/null >'" + typescript.string() + "' </dev/null").c_str()), -1);
        std::string shown = simtest::ReadText(typescript);
        shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
        std::istringstream rows(shown);
        for (std::string row; std::getline(rows, row);) {
            const size_t letters = std::count_if(row.begin(), row.end(), [](char ch) { return (ch & 0xC0) != 0x80; });
            EXPECT_LE(letters, width) << row;
        }
        EXPECT_EQ(Words(shown), Words(redirected.out)) << shown;
    }
}

}  // namespace

// trelvo-sim --linuxcnc-config: the golden configurations of the fixtures, every refusal, and the user's files kept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "sim_runner.h"

namespace {

namespace fs = std::filesystem;
using simtest::Edits;
using simtest::ReadText;
using simtest::RunArgs;

const fs::path kConvert = fs::path(TRELVO_SAMPLE_PROFILE).parent_path() / "convert";

std::vector<std::string> Convert(const std::string& profile, std::vector<std::string> extra) {
    std::vector<std::string> args{"--module", TRELVO_MODULE_FILE, "--linuxcnc-config", "{dir}/config", "--profile", profile};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// The sample set up for the board, as tests/data/convert/board-ready.xml is, with more keys set.
std::string BoardReady(Edits more, const std::string& section = "<DemoMode>0</DemoMode>") {
    Edits edits = {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"}, {"Output16Neg", "0"},
                   {"Output9Active", "1"},  {"Output9Port", "9"},  {"Output9Pin", "1"},   {"NoFlood", "0"}};
    edits.insert(edits.end(), more.begin(), more.end());
    return simtest::EditedSample(edits, "<ExpandedMode>0</ExpandedMode><EnableSpindle>1</EnableSpindle><SimMode>1</SimMode>" + section);
}

struct GoldenCase {
    const char* fixture;
    std::vector<std::string> extra;
};

// Each fixture's files as golden; TRELVO_UPDATE_GOLDEN=1 writes them anew (then read the diff).
TEST(LinuxCncConfig, FixturesGiveTheirGoldenFiles) {
    const GoldenCase cases[] = {
        {"board-ready", {"--bit-time", "1ms", "--pulley", "3", "--name", "mill"}},
        {"inch", {"--bit-time", "2ms"}},
        {"limits-a-axis", {"--bit-time", "1000us", "--pulley", "3"}},
    };
    const bool update = std::getenv("TRELVO_UPDATE_GOLDEN") != nullptr;
    for (const GoldenCase& c : cases) {
        const simtest::SimRun run = RunArgs(Convert((kConvert / (std::string(c.fixture) + ".xml")).string(), c.extra));
        ASSERT_EQ(run.exitCode, 0) << c.fixture << "\n" << run.out << run.err;
        const fs::path made = run.dir / "config", golden = kConvert / c.fixture;
        if (update) {
            fs::remove_all(golden);
            fs::copy(made, golden);
        }
        EXPECT_EQ(Names(made), Names(golden)) << c.fixture;
        for (const std::string& name : Names(golden))
            EXPECT_EQ(ReadText(made / name), ReadText(golden / name)) << c.fixture << ": " << name;
        // Nothing else beside the folder: the temporary one is gone.
        EXPECT_EQ(Names(run.dir), (std::set<std::string>{"config", "err.txt", "out.txt"})) << c.fixture;
    }
}

struct HandCheck {
    const char* file;  // in tests/data/convert
    const char* line;  // worked out by hand from the fixture's keys
};

// Golden files written anew must still say what the profile says, worked out by hand.
TEST(LinuxCncConfig, GoldenNumbersAreTheProfiles) {
    const HandCheck checks[] = {
        {"board-ready/mill.ini", "BASE_PERIOD = 40000\n"},           // PulseSpeed 0: 25 kHz
        {"board-ready/mill.ini", "SCALE = 320\n"},                   // Steps0 320.
        {"board-ready/mill.ini", "MAX_VELOCITY = 16.67\n"},          // Vel0 16.67 mm/s, under 0.95 * 25000 / 320
        {"board-ready/mill.ini", "STEPGEN_MAXACCEL = 150\n"},        // 1.25 * Acc0 120.
        {"board-ready/mill.ini", "HOME_SEARCH_VEL = 11.669\n"},      // RefSpeed0 70 % of 16.67, M0Neg 0: towards +
        {"board-ready/mill.ini", "MAX_LIMIT = 0.01\n"},              // M0Max 0. is home: kept off the end
        {"board-ready/mill.hal", "loadrt hal_parport cfg=\"0x378 out\"\n"},  // Port1Add 888
        {"board-ready/mill.hal", "net estop-ext       <= parport.0.pin-10-in\n"},  // SimMode 1: active-low
        {"board-ready/mill.hal", "net both-home-x     <= parport.0.pin-11-in-not\n"},  // inputs 0-2 on pin 11, Neg 1
        {"board-ready/custom.hal", "setp trelvo40.0.spindle-scale 4000\n"},  // --pulley 3: SPEED3 4000
        {"board-ready/custom.hal", "net coolant-flood iocontrol.0.coolant-flood => trelvo40.0.k1\n"},  // Flood 9 on port 9 pin 1
        {"inch/mach3.ini", "SCALE = 8128\n"},                        // 320 steps/mm * 25.4
        {"inch/mach3.ini", "LINEAR_UNITS = inch\n"},
        {"inch/custom.hal", "setp trelvo40.0.cycles-per-bit 2\n"},   // --bit-time 2ms over the 1 ms servo period
        {"limits-a-axis/mach3.ini", "MAX_VELOCITY = 59.375\n"},      // Vel0 80 capped: 0.95 * 25000 / 400
        {"limits-a-axis/mach3.ini", "HOME_SEARCH_VEL = -41.5625\n"}, // 70 % of 59.375, M0Neg 1: towards -
        {"limits-a-axis/mach3.ini", "TYPE = ANGULAR\n"},             // motor 3, A
        {"limits-a-axis/mach3.hal", "setp parport.0.pin-09-out-invert 1\n"},  // A: DirNeg 0, M3Rev 1
        {"limits-a-axis/mach3.hal", "loadrt hal_parport cfg=\"0x378 out 0x278 in\"\n"},  // Port2Add 632, Port2Input 1
    };
    for (const HandCheck& c : checks)
        EXPECT_NE(ReadText(kConvert / c.file).find(c.line), std::string::npos) << c.file << ": " << c.line;
}

struct DelayCase {
    std::string section;  // the plug-in's delays
    const char* lines;    // trelvo40's, for the same wire
};

// trelvo40 counts each delay from one more call than the plug-in does: the wire must stay the same.
TEST(LinuxCncConfig, WireDelaysKeepThePluginsWire) {
    const DelayCase cases[] = {
        {"", "post-estop-delay 9\nsetp trelvo40.0.idle-delay 2\nsetp trelvo40.0.intra-frame-delay 0\n"},
        {"<PostEStopDelay>25</PostEStopDelay><IdleDelay>7</IdleDelay><IntraFrameDelay>4</IntraFrameDelay>",
         "post-estop-delay 24\nsetp trelvo40.0.idle-delay 6\nsetp trelvo40.0.intra-frame-delay 3\n"},
        // The plug-in waits at least 2 idle bits, and frames back to back at 0 and 1 alike.
        {"<PostEStopDelay>0</PostEStopDelay><IdleDelay>0</IdleDelay><IntraFrameDelay>1</IntraFrameDelay>",
         "post-estop-delay 0\nsetp trelvo40.0.idle-delay 1\nsetp trelvo40.0.intra-frame-delay 0\n"},
    };
    for (const DelayCase& c : cases) {
        const simtest::SimRun run = RunArgs(Convert(BoardReady({}, c.section), {"--bit-time", "1ms", "--pulley", "3"}));
        ASSERT_EQ(run.exitCode, 0) << c.section << run.err;
        EXPECT_NE(ReadText(run.dir / "config" / "custom.hal").find(c.lines), std::string::npos) << c.section;
    }
}

// Limits and homes of several axes on one pin: stepconf's all-limit-home, its limits silenced by lut5
// while any axis homes, so no axis needs HOME_IGNORE_LIMITS.
TEST(LinuxCncConfig, SharedLimitAndHomePinTakesStepconfsLogic) {
    const simtest::SimRun run = RunArgs(Convert(BoardReady({{"Input3Pin", "11"}, {"Input4Pin", "11"}, {"Input5Pin", "11"}}),
                                                {"--bit-time", "1ms", "--pulley", "3"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string hal = ReadText(run.dir / "config" / "mach3.hal"), ini = ReadText(run.dir / "config" / "mach3.ini");
    for (const char* line : {"loadrt lut5\n", "addf lut5.0 servo-thread\n", "net all-limit-home  <= parport.0.pin-11-in-not\n",
                             "setp lut5.0.function 0x10000\n", "net all-limit-home => lut5.0.in-4\n", "net all-limit <= lut5.0.out\n",
                             "net xhoming <= joint.0.homing => lut5.0.in-0\n", "net zhoming <= joint.2.homing => lut5.0.in-2\n",
                             "net all-limit-home => joint.1.home-sw-in\n", "net all-limit => joint.1.neg-lim-sw-in\n",
                             "net all-limit => joint.0.pos-lim-sw-in\n", "net both-home-z => joint.2.home-sw-in\n"})
        EXPECT_NE(hal.find(line), std::string::npos) << line;
    // Z keeps a pin of its own, a limit and home: it still needs the ignore; X and Y do not.
    const size_t ignore = ini.find("HOME_IGNORE_LIMITS");
    ASSERT_NE(ignore, std::string::npos);
    EXPECT_GT(ignore, ini.find("[JOINT_2]"));
    EXPECT_EQ(ini.find("HOME_IGNORE_LIMITS", ignore + 1), std::string::npos);
}

// An input a key drives in Mach3 has no pin to wire: warned about, left out, the rest converted.
TEST(LinuxCncConfig, EmulatedInputsAreWarnedAboutNotWired) {
    const simtest::SimRun run = RunArgs(Convert(BoardReady({{"Input22Emulated", "1"}, {"Input0Emulated", "1"}, {"Input0Port", "0"},
                                                            {"Input0Pin", "0"}}),
                                                {"--bit-time", "1ms", "--pulley", "3"}));
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string hal = ReadText(run.dir / "config" / "mach3.hal"), report = ReadText(run.dir / "config" / "mach3-conversion.txt");
    EXPECT_EQ(hal.find("probe-in"), std::string::npos);
    EXPECT_NE(hal.find("joint.0.home-sw-in"), std::string::npos);  // X's other switches, on pin 11, still wired
    for (const char* said : {"Input22Emulated 1", "Input0Emulated 1"}) EXPECT_NE(report.find(said), std::string::npos) << said;
}

struct RefusalCase {
    const char* what;
    std::string profile;
    std::vector<std::string> extra;
    int exitCode;
    std::string says;  // in the output or the errors
};

TEST(LinuxCncConfig, RefusesWhatItCannotCarryAcrossAndWritesNothing) {
    const std::string ready = (kConvert / "board-ready.xml").string();
    const RefusalCase cases[] = {
        {"the sample, not set up for the board: the check's 4 faults", TRELVO_SAMPLE_PROFILE, {"--bit-time", "1ms"}, 1,
         "and 3 more faults"},
        {"no bit time", ready, {"--pulley", "3"}, 2, "needs --bit-time"},
        {"a bit time the servo thread cannot make", ready, {"--bit-time", "1.5ms", "--pulley", "3"}, 2, "whole number of milliseconds"},
        {"a bit time without its unit", ready, {"--bit-time", "1", "--pulley", "3"}, 2, "with its unit"},
        {"no pulley where the profile cannot settle it", ready, {"--bit-time", "1ms"}, 1, "give --pulley N"},
        {"a pulley with no speed", BoardReady({{"SPEED5", "0"}}), {"--bit-time", "1ms", "--pulley", "5"}, 1, "SPEED5 0 is no top speed"},
        {"DemoMode", BoardReady({}, "<DemoMode>1</DemoMode>"), {"--bit-time", "1ms", "--pulley", "3"}, 1, "DemoMode is on"},
        {"a slaved axis", BoardReady({{"Slave", "0"}}), {"--bit-time", "1ms", "--pulley", "3"}, 1, "slaves an axis"},
        {"an unknown kernel", BoardReady({{"PulseSpeed", "9"}}), {"--bit-time", "1ms", "--pulley", "3"}, 1, "PulseSpeed 9"},
        {"an axis without travel", BoardReady({{"M1Min", "0."}}), {"--bit-time", "1ms", "--pulley", "3"}, 1, "M1Min 0. and M1Max 0."},
        {"limits and homes of five axes on one pin",
         BoardReady({{"Input3Pin", "11"}, {"Input4Pin", "11"}, {"Input5Pin", "11"}, {"Port2On", "1"}, {"Motor3Active", "1"},
                     {"Motor3StepPin", "8"}, {"Motor3DirPin", "9"}, {"Steps3", "10"}, {"Vel3", "10"}, {"Acc3", "10"}, {"M3Min", "-1"},
                     {"M3Max", "1"}, {"Motor4Active", "1"}, {"Motor4StepPort", "2"}, {"Motor4StepPin", "2"}, {"Motor4DirPort", "2"},
                     {"Motor4DirPin", "3"}, {"Steps4", "10"}, {"Vel4", "10"}, {"Acc4", "10"}, {"M4Min", "-1"}, {"M4Max", "1"}}),
         {"--bit-time", "1ms", "--pulley", "3"}, 1, "four axes at most"},
        {"one pin, two polarities", BoardReady({{"Input1Neg", "0"}}), {"--bit-time", "1ms", "--pulley", "3"}, 1, "different polarities"},
        {"a limit on the board's own inputs", BoardReady({{"Input0Port", "8"}, {"Input0Pin", "11"}}),
         {"--bit-time", "1ms", "--pulley", "3"}, 1, "not read under LinuxCNC"},
        {"a step pin off the parallel ports", BoardReady({{"Motor2StepPort", "0"}}), {"--bit-time", "1ms", "--pulley", "3"}, 1,
         "not an output pin"},
        {"a direction pin that is an input pin", BoardReady({{"Motor1DirPin", "12"}, {"Input3Active", "0"}, {"Input4Active", "0"}, {"Input5Active", "0"}}),
         {"--bit-time", "1ms", "--pulley", "3"}, 1, "port 1 pin 12"},
    };
    for (const RefusalCase& c : cases) {
        const simtest::SimRun run = RunArgs(Convert(c.profile, c.extra));
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << c.what << "\n" << run.out << run.err;
        EXPECT_FALSE(fs::exists(run.dir / "config")) << c.what;
        EXPECT_EQ(Names(run.dir), (std::set<std::string>{"err.txt", "out.txt"})) << c.what;
    }
}

// A folder with files in it is the user's: refused without --replace; with it, only the files an
// earlier run wrote are replaced, and a file of the user's under one of those names stops it all.
TEST(LinuxCncConfig, ReplacesOnlyItsOwnFiles) {
    const std::string ready = (kConvert / "board-ready.xml").string();
    const std::vector<std::string> options = {"--bit-time", "1ms", "--pulley", "3"};
    const fs::path dir = fs::temp_directory_path() / ("trelvo-convert-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "notes.txt") << "the user's own\n";
    auto into = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"--module", TRELVO_MODULE_FILE, "--linuxcnc-config", dir.string(), "--profile", ready};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return RunArgs(args);
    };
    simtest::SimRun run = into({});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("--replace"), std::string::npos) << run.err;
    EXPECT_EQ(Names(dir), (std::set<std::string>{"notes.txt"}));

    run = into({"--replace"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Names(dir).size(), 8u);
    std::ofstream(dir / "mach3.ini", std::ios::app) << "; an edit the next run replaces\n";
    run = into({"--replace"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadText(dir / "mach3.ini").find("an edit"), std::string::npos);
    EXPECT_EQ(ReadText(dir / "notes.txt"), "the user's own\n");

    std::ofstream(dir / "custom.hal") << "loadrt my_own_component\n";
    run = into({"--replace"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("not a file the converter wrote"), std::string::npos) << run.err;
    EXPECT_EQ(ReadText(dir / "custom.hal"), "loadrt my_own_component\n");
    fs::remove_all(dir);
}

}  // namespace

// Probe and step/direction warnings: exact texts, caption, and exactly when a box opens.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "mach3/assignments/assignments.h"
#include "mach3/lifecycle.h"
#include "mach3/plugin_state.h"
#include "platform/posix/test_host_hooks.h"
#include "support/test_support.h"

namespace {

struct Box {
    std::string caption;
    std::string text;
};

std::vector<Box> g_boxes;

void RecordBox(const char* caption, const char* text, void*) { g_boxes.push_back({caption, text}); }

const char* const kProbeText =
    "WARNING:\nThe PROBE signal is assigned to port 8 and the\nplug-in is in Expanded Output mode.\n\n"
    "Port 8 is ignored when in Expanded Output mode, so the\nPROBE input will be ignored.\n\n"
    "If you need the PROBE input, Assign it to a signal on port 1.";

const char* const kStepDirText =
    "WARNING:\nOne or more step or direction signals are\nassigned to an Expanded Output port (ports 8 & 9).\n"
    "Expanded Output ports WILL NOT WORK for step & dir signals.\n\nPlease go back to Config->Ports and Pins and "
    "correct this\nby assigning all step and direction signals to port 1.\n";

class WarningsTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        g_boxes.clear();
        platform::warningHook() = platform::WarningHookSlot{&RecordBox, nullptr};
        Init();
    }
    void TearDown() override {
        platform::warningHook() = platform::WarningHookSlot{};
        PluginTest::TearDown();
    }

    void Probe(uint8_t enabled, int port) {
        engine_.inputs[22].enabled = enabled;
        engine_.inputs[22].port = static_cast<int8_t>(port);
        engine_.inputs[22].pin = 12;
    }
    void Motor(int index, uint8_t enabled, int stepPort, int dirPort) {
        engine_.motors[index] = HostMotor{enabled, static_cast<int8_t>(stepPort), static_cast<int8_t>(dirPort)};
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Box& b : g_boxes) {
            texts.push_back(b.text);
        }
        return texts;
    }
};

// The caption is the module's own file name without its extension; here the module is this program.
TEST_F(WarningsTest, CaptionIsTheModuleStemAndTextsAreExact) {
    Motor(2, 1, 9, 1);
    EXPECT_FALSE(CheckStepDirAssignment());
    Probe(1, 8);
    testsupport::State().settings.IoMode = IO_EXPANDED_OUTPUT;
    CheckProbeAssignment();
    ASSERT_EQ(g_boxes.size(), 2u);
    const std::string stem = std::filesystem::read_symlink("/proc/self/exe").stem().string();
    ASSERT_FALSE(stem.empty());
    for (const Box& b : g_boxes) {
        EXPECT_EQ(b.caption, stem);
    }
    EXPECT_EQ(g_boxes[0].text, kStepDirText);
    EXPECT_EQ(g_boxes[1].text, kProbeText);
}

TEST_F(WarningsTest, ProbeWarningOnlyInExpandedOutputModeOnPort8) {
    struct Case {
        int32_t mode;
        uint8_t enabled;
        int port;
        bool warns;
    };
    const Case cases[] = {
        {IO_EXPANDED_OUTPUT, 1, 8, true},   {IO_EXPANDED_OUTPUT, 0, 8, true},
        {IO_EXPANDED_OUTPUT, 1, 1, false},  {IO_EXPANDED_OUTPUT, 1, 9, false},
        {IO_EXPANDED_IO, 1, 8, false},      {IO_EXPANDED_IO, 0, 8, false},
        {IO_EXPANDED_INPUT, 1, 8, false},   {IO_EXPANDED_INPUT, 0, 8, false},
        {3, 1, 8, true},                    // neither 0 nor 2
        {IO_EXPANDED_OUTPUT, 1, 8 + 256, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " enabled " << int(c.enabled) << " port " << c.port);
        g_boxes.clear();
        Probe(c.enabled, c.port);
        testsupport::State().settings.IoMode = c.mode;
        const HostEngineBlock before = engine_;
        CheckProbeAssignment();
        EXPECT_EQ(Texts(), c.warns ? std::vector<std::string>{kProbeText} : std::vector<std::string>{});
        EXPECT_EQ(0, std::memcmp(&before, &engine_, sizeof engine_));  // the probe entry is read, not applied
    }
}

TEST_F(WarningsTest, StepDirCheckStopsAtTheFirstBadMotor) {
    struct Case {
        const char* what;
        std::vector<HostMotor> motors;  // motors 0.. in order
        bool ok;
    };
    const Case cases[] = {
        {"none enabled", {}, true},
        {"all on port 1", {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}}, true},
        {"motors 0 and 3 dir 9", {{1, 1, 9}, {0, 0, 0}, {0, 0, 0}, {1, 1, 9}}, false},
        {"disabled step 8", {{0, 8, 1}, {0, 9, 9}}, true},
        {"step 8", {{1, 8, 1}}, false},
        {"step 9", {{1, 9, 1}}, false},
        {"dir 8", {{1, 1, 8}}, false},
        {"last motor", {{1, 1, 1}, {1, 2, 3}, {1, 7, 10}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 9, 9}}, false},
        {"ports 7 and 10", {{1, 7, 10}, {1, 10, 7}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_boxes.clear();
        engine_ = HostEngineBlock{};
        for (size_t i = 0; i < c.motors.size(); ++i) {
            engine_.motors[i] = c.motors[i];
        }
        EXPECT_EQ(CheckStepDirAssignment(), c.ok);
        EXPECT_EQ(Texts(), c.ok ? std::vector<std::string>{} : std::vector<std::string>{kStepDirText});
    }
}

TEST_F(WarningsTest, EveryConfigNotificationWarnsAgain) {
    Motor(0, 1, 8, 1);
    myNotify(11);
    myNotify(11);
    EXPECT_EQ(Texts(), (std::vector<std::string>{kStepDirText, kStepDirText}));

    g_boxes.clear();
    Probe(0, 8);
    testsupport::State().settings.IoMode = IO_EXPANDED_OUTPUT;
    myNotify(11);
    myNotify(11);
    EXPECT_EQ(Texts(), (std::vector<std::string>{kStepDirText, kProbeText, kStepDirText, kProbeText}));

    g_boxes.clear();
    myNotify(10);  // any other notification checks nothing
    myNotify(-1);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(WarningsTest, PostInitChecksOnlyTheProbe) {
    Motor(0, 1, 8, 9);
    Probe(1, 8);
    testsupport::State().settings.IoMode = IO_EXPANDED_OUTPUT;
    PlugPostInitControl();
    EXPECT_EQ(Texts(), std::vector<std::string>{kProbeText});
}

}  // namespace

// The configuration dialog driven through Config by a scripted user: displays, settings, profile file, warnings.
#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "mach3/assignments/assignments.h"
#include "mach3/dialog/config_dialog.h"
#include "mach3/lifecycle.h"
#include "mach3/plugin_state.h"
#include "mach3/profile/xml_profile.h"
#include "platform/file_io.h"
#include "platform/posix/dialog_script.h"
#include "platform/posix/test_host_hooks.h"
#include "platform/test_host.h"
#include "support/test_support.h"

extern "C" void TrelvoSetDialogScript(const char* actions);
extern "C" void TrelvoSetDialogHook(TrelvoDialogHook hook, void* context);

namespace {

using testsupport::ReadFile;

class ConfigDialogTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        platform::ResetDialogScript();
        platform::SetDialogObserver([this](const std::string& displays) { displays_.push_back(displays); });
        platform::warningHook() = {[](const char*, const char* text, void* self) {
                                       static_cast<ConfigDialogTest*>(self)->warnings_.push_back(text);
                                   },
                                   this};
    }
    void TearDown() override {
        platform::ResetDialogScript();
        platform::warningHook() = {};
        PluginTest::TearDown();
    }

    void Wire(int index, int port, int pin) {
        engine_.outputs[index] = HostOutputSignal{1, static_cast<int8_t>(pin), static_cast<int8_t>(port), 0, 0};
    }
    void WireInput(int index, int port, int pin) {
        engine_.inputs[index] = HostInputSignal{1, static_cast<int8_t>(pin), static_cast<int8_t>(port), 0, 0};
    }

    void Config(const std::string& script) {
        platform::SetDialogScript(script);
        PlugConfig();
    }

    // The key's element text in the saved profile, or "(absent)".
    std::string Stored(const std::string& key) {
        const std::string xml = ReadFile(profile_);
        const size_t open = xml.find("<" + key + ">");
        if (open == std::string::npos) return "(absent)";
        const size_t start = open + key.size() + 2;
        return xml.substr(start, xml.find("</" + key + ">") - start);
    }

    // The log message starting with `heading` and its three continuation lines, joined by '|'.
    std::string Outcome(const std::string& heading) {
        const std::vector<std::string> lines = Messages();
        for (size_t i = 0; i + 3 < lines.size(); ++i) {
            if (lines[i] == "INFO: " + heading) {
                return lines[i + 1] + "|" + lines[i + 2] + "|" + lines[i + 3];
            }
        }
        return "(no " + heading + ")";
    }

    static bool Shows(const std::string& displays, const std::string& line) {
        return displays.find(line + "\n") != std::string::npos;
    }

    std::vector<std::string> displays_;
    std::vector<std::string> warnings_;
};

TEST_F(ConfigDialogTest, OkWithoutChangeLogsTheOutcome) {
    LoadSettings({{"ExpandedMode", "1"}, {"EnableSpindle", "1"}, {"DemoMode", "1"}, {"EnableDebug", "1"}});
    Init();
    Config("ok");
    EXPECT_EQ(Stored("ExpandedMode"), "1");
    EXPECT_EQ(Stored("EnableSpindle"), "1");
    EXPECT_EQ(Stored("DemoMode"), "1");
    EXPECT_EQ(Outcome("Config Updated:"), "\tIO Mode:\t1|\tSpindle:\t1|\tDemo:\t\t1");
    EXPECT_STREQ(state_.statusText, "TRELVO-40/41 Config updated");
    ASSERT_EQ(displays_.size(), 1u);
    EXPECT_EQ(displays_[0].substr(0, displays_[0].find('\n')),
              "TRELVO-40/41 Configuration (Plug-In Version 2012.06.22)");
}

TEST_F(ConfigDialogTest, OkWithoutChangeAddsNoKeys) {
    LoadSettings({});
    Init();
    Config("ok");
    EXPECT_EQ(Stored("ExpandedMode"), "(absent)");
    EXPECT_EQ(Stored("EnableSpindle"), "(absent)");
    EXPECT_EQ(Stored("DemoMode"), "(absent)");
    EXPECT_STREQ(state_.statusText, "") << "EnableDebug is off";
}

// OK writes the keys the user changed since Config opened; another host saves ExpandedMode 2 and
// EnableSpindle 7 while this dialog is shown, and keeps every key this one leaves alone.
struct OkWriteCase {
    const char* script;
    const char* mode;     // ExpandedMode in the file afterwards
    const char* spindle;  // EnableSpindle
    friend void PrintTo(const OkWriteCase& c, std::ostream* out) { *out << '"' << c.script << '"'; }
};

class ConfigDialogOkWriteTest : public ConfigDialogTest, public ::testing::WithParamInterface<OkWriteCase> {};

TEST_P(ConfigDialogOkWriteTest, OkWritesOnlyWhatTheUserChanged) {
    LoadSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "0"}});
    Init();
    bool first = true;
    platform::SetDialogObserver([this, &first](const std::string&) {
        if (!std::exchange(first, false)) return;
        CXmlProfile other(profile_.string());
        other.WriteInt(kProfileSection, "ExpandedMode", 2);
        other.WriteString(kProfileSection, "EnableSpindle", "7");
        std::string why;
        EXPECT_TRUE(other.Save(why)) << why;
    });
    Config(GetParam().script);
    EXPECT_EQ(Stored("ExpandedMode"), GetParam().mode);
    EXPECT_EQ(Stored("EnableSpindle"), GetParam().spindle);
}

INSTANTIATE_TEST_SUITE_P(Changes, ConfigDialogOkWriteTest,
                         ::testing::Values(OkWriteCase{"ok", "2", "7"},                          // neither
                                           OkWriteCase{"mode 1 ok", "1", "7"},                   // the mode only
                                           OkWriteCase{"spindle on ok", "2", "1"},               // the spindle only: both hosts' changes stay
                                           OkWriteCase{"mode 1 spindle on ok", "1", "1"},        // both
                                           OkWriteCase{"mode 1 mode 0 spindle on spindle off ok", "2", "7"},  // changed back
                                           OkWriteCase{"mode 1 refresh ok", "1", "7"},
                                           OkWriteCase{"mode 1 refresh mode 0 ok", "2", "7"},    // back to what Config opened with
                                           OkWriteCase{"mode 1 spindle on cancel", "2", "7"}));

TEST_F(ConfigDialogTest, RefreshPreviewsExpandedInputAndCancelRestoresEverything) {
    LoadSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "1"}, {"EnableDebug", "1"}});
    Init();
    Wire(5, 1, 16);
    Wire(7, 8, 1);
    Wire(8, 9, 1);
    Config("mode 2 refresh cancel");

    ASSERT_EQ(displays_.size(), 2u);
    EXPECT_TRUE(Shows(displays_[0], "Relays K1: Output #2")) << displays_[0];
    EXPECT_TRUE(Shows(displays_[0], "Connector J5 \"A\": Output #1")) << displays_[0];
    EXPECT_TRUE(Shows(displays_[0], "Bit stream assigned to: Enable 5")) << displays_[0];
    const std::string& preview = displays_[1];
    for (const char* line : {"Mode: Expanded Input Mode", "Relays K1: DIPSW & JP1", "Relays K2: DIPSW & JP2",
                             "Connector J5 \"A\": Not Available", "Connector J5 \"B\": Not Available",
                             "Connector J5 \"C\": Not Available", "Connector J5 \"D\": Not Available",
                             "Bit stream assigned to: ** unused **", "[x] Enable Spindle (TRELVO-17) (disabled)"}) {
        EXPECT_TRUE(Shows(preview, line)) << line << "\n" << preview;
    }

    EXPECT_EQ(testsupport::State().settings.IoMode, 0);
    EXPECT_TRUE(testsupport::State().settings.EnableSpindle);
    EXPECT_EQ(Outcome("Config unchanged:"), "\tIO Mode:\t0|\tSpindle:\t1|\tDemo:\t\t0");
    EXPECT_STREQ(state_.statusText, "TRELVO-40/41 Config left unchanged");
    // The preview's markers must not outlive the dialog.
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, 5);
    EXPECT_EQ(testsupport::State().scan.ExpandedAssignments[0], 7);
    EXPECT_EQ(testsupport::State().scan.ExpandedAssignments[4], 8);
    EXPECT_EQ(testsupport::State().scan.ExpandedAssignments[1], ASSIGN_NONE);
}

TEST_F(ConfigDialogTest, WindowThatCannotBeCreatedAfterRefreshCountsAsCancel) {
    LoadSettings({{"ExpandedMode", "1"}});
    Init();
    Wire(2, 1, 16);
    platform::SetDialogObserver([this](const std::string& displays) {
        displays_.push_back(displays);
        platform::FailNextDialogs(1);
    });
    const std::string before = ReadFile(profile_);
    Config("mode 2 refresh ok");
    EXPECT_EQ(displays_.size(), 1u);
    EXPECT_EQ(testsupport::State().settings.IoMode, 1);
    EXPECT_EQ(testsupport::State().scan.bitStreamIndex, 2);
    EXPECT_EQ(Outcome("Config unchanged:"), "\tIO Mode:\t1|\tSpindle:\t0|\tDemo:\t\t0");
    EXPECT_EQ(ReadFile(profile_), before);
}

TEST_F(ConfigDialogTest, RefreshThenOkKeepsThePreviewedChoice) {
    LoadSettings({{"ExpandedMode", "0"}});
    Init();
    Config("mode 1 spindle on refresh ok");
    ASSERT_EQ(displays_.size(), 2u);
    EXPECT_TRUE(Shows(displays_[1], "Mode: Expanded Output Mode")) << displays_[1];
    EXPECT_TRUE(Shows(displays_[1], "[x] Enable Spindle (TRELVO-17)")) << displays_[1];
    EXPECT_EQ(Stored("ExpandedMode"), "1");
    EXPECT_EQ(Stored("EnableSpindle"), "1");
    EXPECT_EQ(testsupport::State().settings.IoMode, 1);
    EXPECT_TRUE(testsupport::State().settings.EnableSpindle);
}

TEST_F(ConfigDialogTest, BitStreamWithoutOutputReadsErrorNone) {
    for (const char* mode : {"0", "1"}) {
        SCOPED_TRACE(mode);
        ResetPluginState();
        displays_.clear();
        LoadSettings({{"ExpandedMode", mode}});
        Init();
        Wire(4, 1, 15);  // next to the bit-stream pin, not on it
        Config("cancel");
        ASSERT_EQ(displays_.size(), 1u);
        EXPECT_TRUE(Shows(displays_[0], "Bit stream assigned to: ERROR (none)")) << displays_[0];
        EXPECT_EQ(testsupport::State().scan.bitStreamIndex, ASSIGN_NO_STREAM);
    }
}

TEST_F(ConfigDialogTest, HiddenJ6DisplaysStillCarryTheScan) {
    LoadSettings({{"ExpandedMode", "0"}});
    Init();
    Wire(16, 9, 16);
    Wire(17, 9, 17);
    Config("cancel");
    ASSERT_EQ(displays_.size(), 1u);
    EXPECT_TRUE(Shows(displays_[0], "Connector J6 \"16\": Output #7 (hidden)")) << displays_[0];
    EXPECT_TRUE(Shows(displays_[0], "Connector J6 \"17\": Output #8 (hidden)")) << displays_[0];
    EXPECT_TRUE(Shows(displays_[0], "[ ] Demo Mode (hidden)")) << displays_[0];
}

TEST_F(ConfigDialogTest, StoredModeOutsideTheButtonsSelectsNoneAndOkStoresMinusOne) {
    LoadSettings({{"ExpandedMode", "7"}});
    Init();
    Config("ok");
    ASSERT_EQ(displays_.size(), 1u);
    EXPECT_TRUE(Shows(displays_[0], "Mode: (none)")) << displays_[0];
    EXPECT_TRUE(Shows(displays_[0], "[ ] Enable Spindle (TRELVO-17)")) << "spindle box enabled\n" << displays_[0];
    EXPECT_EQ(Stored("ExpandedMode"), "-1");
    EXPECT_EQ(testsupport::State().settings.IoMode, -1);
}

struct CloseCase {
    const char* script;
    bool applied;
};

class ConfigDialogCloseTest : public ConfigDialogTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ConfigDialogCloseTest, CloseActionsApplyOrRestore) {
    LoadSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "0"}});
    Init();
    Config(GetParam().script);
    EXPECT_EQ(testsupport::State().settings.EnableSpindle, GetParam().applied);
    EXPECT_EQ(testsupport::State().settings.IoMode, GetParam().applied ? 1 : 0);
    EXPECT_EQ(Stored("EnableSpindle"), GetParam().applied ? "1" : "0");
    EXPECT_EQ(Stored("ExpandedMode"), GetParam().applied ? "1" : "0");
    EXPECT_NE(Outcome(GetParam().applied ? "Config Updated:" : "Config unchanged:").find("IO Mode"),
              std::string::npos);
    EXPECT_TRUE(platform::PendingDialogActions().empty());
}

INSTANTIATE_TEST_SUITE_P(Actions, ConfigDialogCloseTest,
                         ::testing::Values(CloseCase{"mode 1 spindle on ok", true},
                                           CloseCase{"mode 1 spindle on enter", true},
                                           CloseCase{"mode 1 spindle on cancel", false},
                                           CloseCase{"mode 1 spindle on escape", false},
                                           CloseCase{"mode 1 spindle on close", false},
                                           CloseCase{"mode 1 spindle on", false}));

TEST_F(ConfigDialogTest, DisabledAndHiddenCheckBoxesIgnoreClicksButKeepTheirTick) {
    LoadSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "0"}});
    Init();
    Config("mode 2 spindle on demo on ok");
    EXPECT_EQ(Stored("ExpandedMode"), "2");
    EXPECT_EQ(Stored("EnableSpindle"), "0");
    EXPECT_FALSE(testsupport::State().settings.DemoMode);

    LoadSettings({{"ExpandedMode", "2"}, {"EnableSpindle", "1"}});
    Config("spindle off mode 0 ok");
    EXPECT_EQ(Stored("EnableSpindle"), "1") << "the click came while the box was disabled";
    EXPECT_EQ(Stored("ExpandedMode"), "0");
}

TEST_F(ConfigDialogTest, ProbeOnPort8WarnsAfterOkIntoExpandedOutput) {
    LoadSettings({{"ExpandedMode", "0"}});
    Init();
    WireInput(22, 8, 11);
    engine_.inputs[22].enabled = 0;  // the check looks at the port only
    Config("mode 1 cancel");
    EXPECT_TRUE(warnings_.empty());
    Config("mode 1 ok");
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(warnings_[0], kProbeWarning);
}

// Expanded Input chosen while frames run: the bit-stream output is not written again, though the
// transmitter halts only at the next EStop.
TEST_F(ConfigDialogTest, OkIntoExpandedInputStopsBitStreamWritesAtOnce) {
    LoadSettings({{"ExpandedMode", "0"}, {"zzzzz", "1"}});
    Init();
    Wire(5, 1, 16);
    EStopCycles(1);
    Cycles(30);
    Config("mode 2 ok");
    ASSERT_EQ(testsupport::State().settings.IoMode, IO_EXPANDED_INPUT);
    engine_.outputs[5].state = 1;
    for (int cycle = 0; cycle < 30; ++cycle) {
        Cycles(1);
        ASSERT_EQ(BitStreamState(5), 1) << "cycle " << cycle;
    }
}

TEST_F(ConfigDialogTest, CancelReplacesNothing) {
    LoadSettings({{"ExpandedMode", "0"}, {"EnableSpindle", "1"}});
    Init();
    const std::string before = ReadFile(profile_);
    static int replaces;
    replaces = 0;
    platform::fileIo().replace = [](const char* from, const char* to) {
        ++replaces;
        return std::rename(from, to);
    };
    Config("mode 2 spindle off refresh cancel");
    EXPECT_EQ(replaces, 0) << "the same bytes are not written again";
    EXPECT_EQ(ReadFile(profile_), before);
}

TEST_F(ConfigDialogTest, InputDisplaysThroughTheDialog) {
    LoadSettings({{"ExpandedMode", "1"}});
    Init();
    WireInput(22, 1, 15);
    WireInput(3, 8, 11);
    WireInput(4, 1, 14);
    Config("cancel");
    ASSERT_EQ(displays_.size(), 1u);
    EXPECT_TRUE(Shows(displays_[0], "Connector J12 \"15\": Probe")) << displays_[0];
    EXPECT_TRUE(Shows(displays_[0], "Connector J11 \"E\": Not Available")) << displays_[0];
    EXPECT_EQ(displays_[0].find("Y--"), std::string::npos) << "port 1 pin 14 is shown nowhere";
}

TEST_F(ConfigDialogTest, CHooksReceiveEveryShowing) {
    LoadSettings({{"ExpandedMode", "0"}});
    Init();
    platform::SetDialogObserver(nullptr);
    std::vector<std::string> seen;
    TrelvoSetDialogHook([](const char* displays, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(displays);
    }, &seen);
    TrelvoSetDialogScript("mode 2 refresh mode 0 refresh ok");
    PlugConfig();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(Shows(seen[1], "Mode: Expanded Input Mode"));
    EXPECT_TRUE(Shows(seen[2], "Mode: Expanded I/O Mode"));
    EXPECT_EQ(Stored("ExpandedMode"), "0");
}

}  // namespace

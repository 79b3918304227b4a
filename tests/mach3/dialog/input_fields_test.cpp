// Which host inputs and encoders the eight input displays name, per I/O mode.
#include <algorithm>
#include <string>
#include <vector>

#include "mach3/dialog/config_dialog.h"
#include "mach3/dialog/config_layout.h"
#include "support/test_support.h"

namespace {

struct Wiring {
    enum Kind { Input, EncoderA, EncoderB } kind;
    int index, port, pin;
};

struct InputCase {
    const char* name;
    int32_t mode;
    std::vector<Wiring> wiring;
    int entry;
    const char* expected;
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class InputFieldsTest : public testsupport::PluginTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputFieldsTest, NamesTheSignalOnEachPin) {
    const InputCase& c = GetParam();
    Init();
    testsupport::State().settings.IoMode = c.mode;
    for (const Wiring& w : c.wiring) {
        if (w.kind == Wiring::Input) {
            engine_.inputs[w.index] = HostInputSignal{1, static_cast<int8_t>(w.pin), static_cast<int8_t>(w.port), 0, 0};
        } else {
            HostEncoder& e = engine_.encoders[w.index];
            e.enabled = 1;
            (w.kind == Wiring::EncoderA ? e.aPort : e.bPort) = w.port;
            (w.kind == Wiring::EncoderA ? e.aPin : e.bPin) = w.pin;
        }
    }
    CConfigForm form;
    FillInputAssignmentFields(form);
    EXPECT_EQ(form.m_Inputs[c.entry], c.expected);
}

using W = Wiring;
INSTANTIATE_TEST_SUITE_P(
    Cases, InputFieldsTest,
    ::testing::Values(
        InputCase{"J11InExpandedOutput", 1, {{W::Input, 3, 8, 11}}, 4, "Not Available"},
        InputCase{"J11InExpandedIO", 0, {{W::Input, 3, 8, 11}}, 4, "Y++"},
        InputCase{"J11InExpandedInput", 2, {{W::Input, 52, 8, 15}}, 7, "Jog A--"},
        InputCase{"J12InExpandedOutput", 1, {{W::Input, 0, 1, 12}}, 1, "X++"},
        InputCase{"ProbeOnPin15", 0, {{W::Input, 22, 1, 15}}, 3, "Probe"},
        InputCase{"EncoderAOverridesInput", 0, {{W::Input, 22, 1, 15}, {W::EncoderA, 0, 1, 15}}, 3, "Encoder #1-A"},
        InputCase{"EncoderBOverridesA", 0, {{W::EncoderA, 1, 1, 13}, {W::EncoderB, 1, 1, 13}}, 2, "Encoder #2-B"},
        InputCase{"HigherInputWins", 0, {{W::Input, 3, 1, 11}, {W::Input, 10, 1, 11}}, 0, "A--"},
        InputCase{"MpgName", 2, {{W::EncoderB, 6, 8, 12}}, 5, "MPG #3-B"},
        InputCase{"EncoderOnPort8InExpandedOutput", 1, {{W::EncoderA, 0, 8, 13}}, 6, "Not Available"},
        InputCase{"Pin14Ignored", 0, {{W::Input, 4, 1, 14}}, 3, "** unused **"},
        InputCase{"OtherPortIgnored", 0, {{W::Input, 4, 2, 11}}, 0, "** unused **"}),
    [](const ::testing::TestParamInfo<InputCase>& info) { return std::string(info.param.name); });

using InputFieldsPlainTest = testsupport::PluginTest;

TEST_F(InputFieldsPlainTest, DisabledSignalsAndPin14AreShownNowhere) {
    Init();
    testsupport::State().settings.IoMode = 0;
    engine_.inputs[4] = HostInputSignal{1, 14, 1, 0, 0};
    engine_.inputs[5] = HostInputSignal{0, 11, 1, 0, 0};
    engine_.encoders[2] = HostEncoder{0, 12, 13, 1, 8};
    CConfigForm form;
    FillInputAssignmentFields(form);
    for (const std::string& text : form.m_Inputs) {
        EXPECT_EQ(text, "** unused **");
    }
}

TEST(ConfigLayoutTest, HiddenControlsAndIdsMatchTheDialog) {
    const platform::DialogLayout& layout = ConfigDialogLayout();
    EXPECT_STREQ(layout.caption, "TRELVO-40 Configuration");
    EXPECT_STREQ(layout.fontFace, "MS Shell Dlg");
    EXPECT_EQ(layout.fontPoints, 8);
    EXPECT_EQ(layout.cx, 435);
    EXPECT_EQ(layout.cy, 178);
    ASSERT_EQ(layout.controlCount, 52u);
    std::vector<std::string> hidden, pinLabels;
    std::vector<int> ids;
    int radios = 0;
    for (size_t i = 0; i < layout.controlCount; ++i) {
        const platform::ControlEntry& c = layout.controls[i];
        if (c.hidden) hidden.push_back(c.text);
        if (c.id != platform::kStaticId) ids.push_back(c.id);
        if (c.kind == platform::ControlKind::RadioButton) ++radios;
        if (c.kind == platform::ControlKind::Label && std::string(c.text).size() <= 4) pinLabels.push_back(c.text);
        EXPECT_LE(c.x + c.cx, layout.cx) << c.text;
        EXPECT_LE(c.y + c.cy, layout.cy) << c.text;
    }
    EXPECT_EQ(hidden, (std::vector<std::string>{"&Demo Mode", "Connector J6", "\"16\"", "\"17\"", "", ""}));
    // Connector pin labels keep their quotation marks; the relay names have none.
    EXPECT_EQ(pinLabels, (std::vector<std::string>{"\"A\"", "\"B\"", "\"C\"", "\"D\"", "K1", "K2", "\"16\"", "\"17\"",
                                                   "\"11\"", "\"12\"", "\"13\"", "\"15\"", "\"E\"", "\"F\"", "\"G\"", "\"H\""}));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "duplicate control id";
    EXPECT_EQ(ids.size(), 8u + 9u + 8u);
    EXPECT_EQ(radios, 3);
    EXPECT_TRUE(layout.controls[0].groupStart);
}

}  // namespace

// The machine model against profile snippets: each key read as the host wrote it, into the field it means.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "mach3/machine/machine.h"
#include "platform/xml_document.h"
#include "support/test_support.h"

namespace {

using mach3::machine::Machine;

// The keys of one mapped section, as the simulator hands them to the model.
class MapSection : public mach3::machine::KeySource {
public:
    explicit MapSection(const mach3::machine::KeyIndex& index) : index_(index) {}
    std::optional<std::string> Text(const std::string& name) const override {
        const std::string* text = index_.Find(name);
        return text ? std::optional<std::string>(*text) : std::nullopt;
    }

private:
    const mach3::machine::KeyIndex& index_;
};

Machine FromProfile(const std::string& preferences, const std::optional<std::string>& plugin = std::nullopt) {
    const std::string xml = "<?xml version=\"1.0\"?><profile><Preferences>" + preferences + "</Preferences>" +
                            (plugin ? "<TRELVO40>" + *plugin + "</TRELVO40>" : "") + "</profile>";
    EXPECT_TRUE(testsupport::ComReady());  // Windows' map is MSXML's
    platform::XmlMap map;
    const std::vector<std::string> sections = {"Preferences", "TRELVO40"};
    EXPECT_EQ(platform::MapXml(xml, &sections, map), 0) << xml;
    const mach3::machine::KeyIndex prefs(&map, "Preferences"), own(&map, "TRELVO40");
    const MapSection p(prefs), o(own);
    return mach3::machine::Decode(p, plugin ? &o : nullptr);
}

struct FieldCase {
    const char* what;
    std::string preferences;
    std::function<double(const Machine&)> field;
    double expected;
};

TEST(MachineModel, EachKeyLandsInItsField) {
    const FieldCase cases[] = {
        {"steps per unit, with the host's trailing point", "<Steps0>320.</Steps0>", [](const Machine& m) { return m.motors[0].steps; }, 320},
        {"velocity in units per second", "<Vel1>18.33</Vel1>", [](const Machine& m) { return m.motors[1].velocity; }, 18.33},
        {"acceleration", "<Acc2>100.</Acc2>", [](const Machine& m) { return m.motors[2].acceleration; }, 100},
        {"a value the host wrote badly reads as 0", "<Vel0>fast</Vel0>", [](const Machine& m) { return m.motors[0].velocity; }, 0},
        {"step pin", "<Motor0StepPin>2</Motor0StepPin>", [](const Machine& m) { return m.motors[0].stepPin; }, 2},
        {"direction port", "<Motor3DirPort>2</Motor3DirPort>", [](const Machine& m) { return m.motors[3].dirPort; }, 2},
        {"step active-low", "<Motor2StepNeg>1</Motor2StepNeg>", [](const Machine& m) { return m.motors[2].stepLow; }, 1},
        {"direction active-low", "<Motor1DirNeg>1</Motor1DirNeg>", [](const Machine& m) { return m.motors[1].dirLow; }, 1},
        {"reversed axis", "<M2Rev>1</M2Rev>", [](const Machine& m) { return m.motors[2].reversed; }, 1},
        {"homes towards -", "<M0Neg>1</M0Neg>", [](const Machine& m) { return m.motors[0].homeNeg; }, 1},
        {"soft limit min", "<M0Min>-593.</M0Min>", [](const Machine& m) { return m.motors[0].min; }, -593},
        {"homing speed", "<RefSpeed2>40</RefSpeed2>", [](const Machine& m) { return m.motors[2].refSpeed; }, 40},
        {"backlash counts with the global switch", "<BacklashOn>1</BacklashOn><BLState0>1</BLState0><BackX>0.02</BackX>",
         [](const Machine& m) { return m.motors[0].backlashOn ? m.motors[0].backlash : -1; }, 0.02},
        {"an axis's backlash is off while the global switch is", "<BacklashOn>0</BacklashOn><BLState0>1</BLState0>",
         [](const Machine& m) { return m.motors[0].backlashOn; }, 0},
        {"port address in decimal", "<Port1Add>888</Port1Add>", [](const Machine& m) { return m.port1Address; }, 0x378},
        {"port address in hex", "<Port2Add>0x278</Port2Add>", [](const Machine& m) { return m.port2Address; }, 0x278},
        {"kernel index", "<PulseSpeed>6</PulseSpeed>", [](const Machine& m) { return m.KernelHz(); }, 100000},
        {"an unknown kernel index", "<PulseSpeed>9</PulseSpeed>", [](const Machine& m) { return m.KernelHz(); }, 0},
        {"inch", "<Units>1</Units>", [](const Machine& m) { return m.inch; }, 1},
        {"mm", "<Units>0</Units>", [](const Machine& m) { return m.inch; }, 0},
        {"no slave when the key is missing", "", [](const Machine& m) { return m.slave; }, -1},
        {"a slaved axis", "<Slave>3</Slave>", [](const Machine& m) { return m.slave; }, 3},
        {"the first of two same keys wins", "<Steps0>100</Steps0><Steps0>200</Steps0>", [](const Machine& m) { return m.motors[0].steps; }, 100},
        {"output pin", "<Output16Pin>16</Output16Pin>", [](const Machine& m) { return m.outputs[16].pin; }, 16},
        {"output active-low", "<Output1Neg>1</Output1Neg>", [](const Machine& m) { return m.outputs[1].activeLow; }, 1},
        {"input enabled", "<Input25Active>1</Input25Active>", [](const Machine& m) { return m.inputs[25].enabled; }, 1},
        {"encoder B pin", "<Encoder2BPin>13</Encoder2BPin>", [](const Machine& m) { return m.encoders[2].bPin; }, 13},
        {"pulley", "<PULLEY>3</PULLEY><SPEED3>4000</SPEED3>", [](const Machine& m) { return m.spindle.speed[m.spindle.pulley]; }, 4000},
        {"flood output", "<Flood>9</Flood>", [](const Machine& m) { return m.spindle.flood; }, 9},
        {"charge pump always on", "<ChargeAlwaysOn>1</ChargeAlwaysOn>", [](const Machine& m) { return m.chargeAlwaysOn; }, 1},
        {"debounce", "<Debounce>4</Debounce>", [](const Machine& m) { return m.debounce; }, 4},
    };
    for (const FieldCase& c : cases) EXPECT_DOUBLE_EQ(c.field(FromProfile(c.preferences)), c.expected) << c.what;
}

struct PluginCase {
    const char* what;
    std::optional<std::string> section;
    Settings expected;
    bool present, modeSet;
};

TEST(MachineModel, PluginSectionAsThePluginReadsIt) {
    Settings defaults;
    defaults.IoMode = IO_EXPANDED_INPUT;
    defaults.PostEStopDelay = 10;
    defaults.IdleDelay = 3;
    Settings board = defaults;
    board.IoMode = IO_EXPANDED_IO;
    board.EnableSpindle = true;
    board.SimMode = true;
    Settings delays = defaults;
    delays.PostEStopDelay = 4;
    delays.IdleDelay = 0;
    delays.IntraFrameDelay = 2;
    const PluginCase cases[] = {
        {"no section: the plug-in's defaults", std::nullopt, defaults, false, false},
        {"an empty section", "", defaults, true, false},
        {"set up for the board", "<ExpandedMode>0</ExpandedMode><EnableSpindle>1</EnableSpindle><SimMode>1</SimMode>", board, true, true},
        // The plug-in takes a key's leading number, not pugixml's hex.
        {"delays, leading numbers", "<PostEStopDelay>4 bits</PostEStopDelay><IdleDelay>0x5</IdleDelay><IntraFrameDelay>2</IntraFrameDelay>", delays, true, false},
    };
    for (const PluginCase& c : cases) {
        const Machine m = FromProfile("", c.section);
        const Settings& s = m.plugin.settings;
        EXPECT_EQ(m.plugin.present, c.present) << c.what;
        EXPECT_EQ(m.plugin.modeSet, c.modeSet) << c.what;
        EXPECT_EQ(s.IoMode, c.expected.IoMode) << c.what;
        EXPECT_EQ(s.EnableSpindle, c.expected.EnableSpindle) << c.what;
        EXPECT_EQ(s.SimMode, c.expected.SimMode) << c.what;
        EXPECT_EQ(mach3::ForcedEStopActiveLow(s), c.expected.SimMode) << c.what;
        EXPECT_EQ(s.PostEStopDelay, c.expected.PostEStopDelay) << c.what;
        EXPECT_EQ(s.IdleDelay, c.expected.IdleDelay) << c.what;
        EXPECT_EQ(s.IntraFrameDelay, c.expected.IntraFrameDelay) << c.what;
    }
}

// The report quotes each key as the file has it, and says which the file lacks.
TEST(MachineModel, KeepsEachKeysTextForTheReport) {
    const Machine m = FromProfile("<Vel0> 16.67 </Vel0><Port1Add>888</Port1Add>", "<SimMode>1</SimMode>");
    EXPECT_EQ(m.Raw("Preferences", "Vel0"), " 16.67 ");
    EXPECT_EQ(m.Raw("Preferences", "Port1Add"), "888");
    EXPECT_EQ(m.Raw("Preferences", "Acc0"), "(missing)");
    EXPECT_EQ(m.Raw("TRELVO40", "SimMode"), "1");
    EXPECT_EQ(m.Raw("TRELVO40", "DemoMode"), "(missing)");
}

// A key holding an entity the map could not see must be read from the document instead.
TEST(MachineModel, IndexLeavesAnOpaqueKeyToTheDocument) {
#if defined(_WIN32)
    GTEST_SKIP() << "MSXML refuses a file with an entity it cannot see, so no key is ever opaque on Windows";
#endif
    const std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE profile SYSTEM \"profile.dtd\"><profile><Preferences>"
                            "<Steps0>&e;</Steps0><Steps1>7</Steps1></Preferences></profile>";
    platform::XmlMap map;
    const std::vector<std::string> sections = {"Preferences"};
    ASSERT_EQ(platform::MapXml(xml, &sections, map), 0);
    const mach3::machine::KeyIndex index(&map, "Preferences");
    EXPECT_FALSE(index.Complete());
    EXPECT_FALSE(index.Tells("Steps0"));
    EXPECT_TRUE(index.Tells("Steps1"));
    EXPECT_TRUE(index.Tells("Steps2"));  // missing: the map tells that too
    EXPECT_EQ(index.Find("Steps2"), nullptr);
    const mach3::machine::KeyIndex none(&map, "TRELVO40");
    EXPECT_FALSE(none.Mapped());
    EXPECT_FALSE(none.Tells("SimMode"));
}

TEST(MachineModel, FillsTheEngineAsTheHostDoes) {
    const Machine m = FromProfile(
        "<Output16Active>1</Output16Active><Output16Port>1</Output16Port><Output16Pin>16</Output16Pin>"
        "<Input25Active>1</Input25Active><Input25Port>1</Input25Port><Input25Pin>10</Input25Pin><Input25Neg>1</Input25Neg>"
        "<Motor0Active>1</Motor0Active><Motor0StepPort>1</Motor0StepPort><Motor0StepPin>2</Motor0StepPin>"
        "<Motor0DirPort>1</Motor0DirPort><Motor0DirPin>3</Motor0DirPin>"
        "<Encoder1Active>1</Encoder1Active><Encoder1APort>8</Encoder1APort><Encoder1APin>12</Encoder1APin>");
    HostEngineBlock engine{};
    mach3::machine::MotorPinTable pins{};
    mach3::machine::FillEngine(m, engine, pins);
    EXPECT_EQ(engine.outputs[16].enabled, 1);
    EXPECT_EQ(engine.outputs[16].port, 1);
    EXPECT_EQ(engine.outputs[16].pin, 16);
    EXPECT_EQ(engine.inputs[25].activeLow, 1);
    EXPECT_EQ(engine.inputs[25].pin, 10);
    EXPECT_EQ(engine.motors[0].enabled, 1);
    EXPECT_EQ(engine.motors[0].stepPort, 1);
    EXPECT_EQ(pins[0].stepPin, 2);
    EXPECT_EQ(pins[0].dirPin, 3);
    EXPECT_EQ(pins[1].stepPin, 0);  // missing keys read as 0, as the host reads them
    EXPECT_EQ(engine.encoders[1].aPort, 8);
    EXPECT_EQ(engine.encoders[1].aPin, 12);
}

}  // namespace

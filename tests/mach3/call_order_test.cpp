// Call orders outside the host's contract, through the exported entry points: the host never crashes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/dialog_script.h"
#include "support/test_support.h"

extern "C" {
const char* SetProName(const char* profilePath);
bool InitControl(intptr_t engine, intptr_t arg2, intptr_t state, intptr_t arg4);
void Update(void);
void Notify(int32_t code);
void Config(void);
void StopPlug(void);
}

namespace {

constexpr int kStream = 7;  // the output the user put on port 1, pin 16

enum class Call {
    SetProName,     // serial test frames, SimMode off
    SetProNameSim,  // the same with SimMode on
    InitControl,    // with a pair of blocks the host has just allocated
    Run,            // one cycle in EStop, then 30 cycles out of it
    Update,
    StopPlug,
    FreeEarlier,    // the host frees every pair but the newest
    FreeAll,
    Config,
    Notify11,
};

struct Order {
    const char* name;
    std::vector<Call> calls;
    bool runsAtEnd;  // the newest pair is lent and has been run
};

// One pair of host blocks as the host allocates it, and a copy taken when the host took it back.
struct Lent {
    std::unique_ptr<HostEngineBlock> engine;
    std::unique_ptr<HostStateBlock> state;
    std::unique_ptr<HostEngineBlock> givenBack;
};

class CallOrderTest : public testsupport::PluginTest, public ::testing::WithParamInterface<Order> {
protected:
    void LoadProfile(bool simMode) {
        testsupport::WriteFile(profile_, testsupport::ProfileWithSettings(
                                             {{"ExpandedMode", "0"}, {"zzzzz", "1"}, {"PostEStopDelay", "1"},
                                              {"IdleDelay", "0"}, {"SimMode", simMode ? "1" : "0"},
                                              {"DebugLogFile", log_.string()}, {"DebugLogLevel", "5"}}));
        SetProName(profile_.string().c_str());
    }

    void Lend() {
        GiveBack();
        Lent& p = pairs_.emplace_back();
        p.engine = std::make_unique<HostEngineBlock>();
        p.state = std::make_unique<HostStateBlock>();
        p.engine->outputs[kStream] = {1, 16, 1, 0, 0};
        p.engine->outputs[13] = {1, 5, 2, 1, 0};  // the user's charge pump, elsewhere
        p.engine->inputs[25] = {0, 2, 3, 0, 0};
        InitControl(reinterpret_cast<intptr_t>(p.engine.get()), 0, reinterpret_cast<intptr_t>(p.state.get()), 0);
    }

    // The pair lent last is no longer the plug-in's to write; the host may use it for anything.
    void GiveBack() {
        Lent* last = pairs_.empty() ? nullptr : &pairs_.back();
        if (last != nullptr && last->engine && !last->givenBack) {
            std::memset(last->engine.get(), 0x5A, sizeof(HostEngineBlock));
            last->givenBack = std::make_unique<HostEngineBlock>();
            std::memcpy(last->givenBack.get(), last->engine.get(), sizeof(HostEngineBlock));
        }
    }

    void Free(size_t keep) {
        for (size_t i = 0; i + keep < pairs_.size(); ++i) {
            pairs_[i].engine.reset();
            pairs_[i].state.reset();
        }
    }

    void Run() {
        HostEngineBlock& engine = *pairs_.back().engine;
        wire_.clear();
        engine.estop = 1;
        Update();
        engine.estop = 0;
        for (int c = 0; c < 30; ++c) {
            Update();
            wire_ += static_cast<char>('0' + engine.outputs[kStream].state);
        }
    }

    std::vector<Lent> pairs_;
    std::string wire_;
};

TEST_P(CallOrderTest, TheHostSurvivesAndOnlyTheLentBlocksAreWritten) {
    for (const Call call : GetParam().calls) {
        switch (call) {
            case Call::SetProName: LoadProfile(false); break;
            case Call::SetProNameSim: LoadProfile(true); break;
            case Call::InitControl: Lend(); break;
            case Call::Run: Run(); break;
            case Call::Update: Update(); break;
            case Call::StopPlug: StopPlug(); GiveBack(); break;
            case Call::FreeEarlier: Free(1); break;
            case Call::FreeAll: Free(0); break;
            case Call::Config: platform::SetDialogScript("ok"); Config(); break;
            case Call::Notify11: Notify(11); break;
        }
    }
    for (size_t i = 0; i < pairs_.size(); ++i) {
        if (pairs_[i].engine && pairs_[i].givenBack) {
            EXPECT_EQ(std::memcmp(pairs_[i].engine.get(), pairs_[i].givenBack.get(), sizeof(HostEngineBlock)), 0)
                << "block " << i << " was written after the host took it back";
        }
    }
    if (GetParam().runsAtEnd) {
        const HostEngineBlock& engine = *pairs_.back().engine;
        EXPECT_NE(wire_.find("0110101101"), std::string::npos) << "no serial test frame: " << wire_;
        const HostOutputSignal& cp = engine.outputs[13];
        EXPECT_TRUE(cp.enabled == 1 && cp.port == 1 && cp.pin == 17 && cp.activeLow == 0) << "charge pump not forced";
        const HostInputSignal& estop = engine.inputs[25];
        EXPECT_TRUE(estop.enabled == 1 && estop.port == 1 && estop.pin == 10) << "EStop input not forced";
        EXPECT_EQ(estop.activeLow, testsupport::State().settings.SimMode ? 1 : 0) << "the first cycle's set-up did not run again";
    }
}

using C = Call;
INSTANTIATE_TEST_SUITE_P(
    Orders, CallOrderTest,
    ::testing::Values(
        Order{"UpdateAfterStopPlug", {C::SetProName, C::InitControl, C::Run, C::StopPlug, C::Update, C::Update}, false},
        Order{"StopPlugThenLoadedAgain",
              {C::SetProName, C::InitControl, C::Run, C::StopPlug, C::FreeAll, C::SetProNameSim, C::InitControl, C::Run},
              true},
        Order{"SecondInitControlHostFreesTheFirst",
              {C::SetProName, C::InitControl, C::Run, C::InitControl, C::FreeEarlier, C::Run}, true},
        Order{"SecondInitControlHostKeepsTheFirst", {C::SetProName, C::InitControl, C::Run, C::InitControl, C::Run}, true},
        Order{"ConfigAndNotifyAfterStopPlug",
              {C::SetProName, C::InitControl, C::Run, C::StopPlug, C::FreeAll, C::Config, C::Notify11}, false}),
    [](const ::testing::TestParamInfo<Order>& info) { return std::string(info.param.name); });

}  // namespace

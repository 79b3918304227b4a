// Faults while SetProName and Config save the host's profile: the plug-in runs on, the file is old or whole new.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host/lifecycle.h"
#include "log/log.h"
#include "platform/posix/dialog_script.h"
#include "platform/file_io.h"
#include "support/test_support.h"
#include "transmitter/transmitter.h"
#include "transmitter/wire.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

// The hooks of one case; each wraps the real call so the fault lands at a chosen moment of the save.
namespace faults {
platform::FileIo real;
std::function<void()> beforeTempOpen;   // runs when the store opens its temporary file
bool failTempOpen = false;
long writeBudget = -1;                  // bytes the disk takes before it is full; -1: no limit
bool failClose = false;
bool failReplace = false;
std::function<void()> beforeReplace;

void Clear() {
    real = platform::fileIo();
    beforeTempOpen = nullptr;
    failTempOpen = false;
    writeBudget = -1;
    failClose = false;
    failReplace = false;
    beforeReplace = nullptr;
}

int CreateTemp(const char* target, std::string& tempPath, void** file) {
    if (beforeTempOpen) beforeTempOpen();
    if (failTempOpen) return EACCES;
    return real.createTemp(target, tempPath, file);
}
size_t Write(void* file, const void* data, size_t size) {
    if (writeBudget < 0) return real.write(file, data, size);
    const size_t n = size < static_cast<size_t>(writeBudget) ? size : static_cast<size_t>(writeBudget);
    writeBudget -= static_cast<long>(n);
    return n > 0 ? real.write(file, data, n) : 0;
}
int Commit(void* file, const platform::FileFacts& like) {
    const int result = real.commit(file, like);
    return failClose ? EIO : result;
}
int Replace(const char* from, const char* to) {
    if (beforeReplace) beforeReplace();
    return failReplace ? EXDEV : real.replace(from, to);
}
}  // namespace faults

// The sample host profile with a section of ours; the empty key is dropped by every save, so a
// saved file always differs from the one the host wrote.
std::string OriginalProfile() {
    std::string xml = ReadFile(fs::path(TRELVO_DATA_DIR) / "Mach3Mill-sample.xml");
    const size_t end = xml.rfind("</profile>");
    EXPECT_NE(end, std::string::npos);
    xml.insert(end, "<TRELVO40><ExpandedMode>1</ExpandedMode><IdleDelay></IdleDelay></TRELVO40>");
    return xml;
}

enum class Expect { Old, New, Other };

struct Case {
    const char* name;
    std::function<void(const fs::path& profile)> inject;
    Expect outcome;
};

class ProfileFaultsTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        platform::ResetDialogScript();
        faults::Clear();
    }
    void TearDown() override {
        platform::ResetDialogScript();
        PluginTest::TearDown();
    }

    void Install() {
        auto& io = platform::fileIo();
        io.createTemp = faults::CreateTemp;
        io.write = faults::Write;
        io.commit = faults::Commit;
        io.replace = faults::Replace;
    }

    // The host's calls of one session; `config` tells whether the user then runs the dialog.
    void Session(bool config) {
        const char* name = PlugSetProName(profile_.string().c_str());
        ASSERT_NE(name, nullptr);
        EXPECT_NE(std::string(name).find(" and 41 Quorlane Inc."), std::string::npos);
        if (config) {
            platform::SetDialogScript("mode 0 spindle on ok");
            PlugConfig();
            EXPECT_TRUE(platform::PendingDialogActions().empty());
        }
    }

    // What a save without faults leaves, made in a folder of its own.
    std::string Reference(const std::string& original, bool config) {
        const fs::path saved = profile_;
        profile_ = dir_ / "reference.xml";
        WriteFile(profile_, original);
        platform::ResetFileIo();
        Session(config);
        ResetPluginState();
        std::string text = ReadFile(profile_);
        fs::remove(profile_);
        profile_ = saved;
        return text;
    }

    // Leaves EStop and checks that frames still reach the wire, well formed.
    void ExpectRunning() {
        engine_ = HostEngineBlock{};
        engine_.outputs[5] = HostOutputSignal{1, 16, 1, 0, 0};
        engine_.outputs[7] = HostOutputSignal{1, 1, 9, 0, 0};
        Init();
        EStopCycles(2);
        std::string wire;
        for (int i = 0; i < 300; ++i) {
            if (i % 50 == 0) engine_.outputs[7].state ^= 1;
            myUpdate();
            wire += BitStreamState(5) ? '1' : '0';
        }
        const auto frames = wiretest::Decode(wire);
        EXPECT_GE(frames.size(), 10u);
        for (const auto& f : frames) EXPECT_TRUE(f.parityOk && f.stopOk);
    }

    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        return names;
    }

    void RunCases(const std::vector<Case>& cases, bool config) {
        const std::string original = OriginalProfile();
        const std::string reference = Reference(original, config);
        ASSERT_NE(reference, original);  // the session does change the file
        ASSERT_FALSE(reference.empty());
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            ResetPluginState();
            platform::ResetFileIo();
            faults::Clear();
            WriteFile(profile_, original);
            c.inject(profile_);
            Install();
            Session(config);
            platform::ResetFileIo();
            const std::string after = fs::exists(profile_) ? ReadFile(profile_) : std::string("<absent>");
            switch (c.outcome) {
            case Expect::Old: EXPECT_TRUE(after == original) << "old profile changed, " << after.size() << " bytes"; break;
            case Expect::New: EXPECT_TRUE(after == reference) << "not the complete new profile, " << after.size() << " bytes"; break;
            case Expect::Other: EXPECT_EQ(after, "<other program's profile/>"); break;
            }
            EXPECT_EQ(FolderEntries(), std::vector<std::string>{"profile.xml"});
            // The settings were read from the file as loaded, whatever became of the save.
            EXPECT_EQ(plugin().settings.IoMode, config ? 0 : 1);
            ExpectRunning();
        }
    }
};

std::vector<Case> FaultCases() {
    const std::string other = "<other program's profile/>";
    return {
        {"folder read-only: the temporary file cannot be created",
         [](const fs::path&) { faults::failTempOpen = true; }, Expect::Old},
        {"disk full at once", [](const fs::path&) { faults::writeBudget = 0; }, Expect::Old},
        {"disk full half way", [](const fs::path&) { faults::writeBudget = 70000; }, Expect::Old},
        {"disk full one byte short", [](const fs::path& p) {
             faults::writeBudget = static_cast<long>(fs::file_size(p)) - 200;
         }, Expect::Old},
        {"close reports a lost write", [](const fs::path&) { faults::failClose = true; }, Expect::Old},
        {"rename refused", [](const fs::path&) { faults::failReplace = true; }, Expect::Old},
        {"profile deleted between load and save",
         [](const fs::path& p) { faults::beforeTempOpen = [p] { fs::remove(p); }; }, Expect::New},
        {"profile deleted while the new one is written",
         [](const fs::path& p) { faults::beforeReplace = [p] { fs::remove(p); }; }, Expect::New},
        {"profile replaced between load and save",
         [other](const fs::path& p) { faults::beforeTempOpen = [p, other] { WriteFile(p, other); }; }, Expect::New},
        {"profile replaced, then the save fails half way",
         [other](const fs::path& p) {
             faults::beforeTempOpen = [p, other] { WriteFile(p, other); };
             faults::writeBudget = 70000;
         },
         Expect::Other},
        {"profile replaced, then the rename is refused",
         [other](const fs::path& p) {
             faults::beforeReplace = [p, other] { WriteFile(p, other); };
             faults::failReplace = true;
         },
         Expect::Other},
    };
}

TEST_F(ProfileFaultsTest, SetProNameSaveFaults) { RunCases(FaultCases(), false); }

TEST_F(ProfileFaultsTest, ConfigSaveFaults) { RunCases(FaultCases(), true); }

TEST_F(ProfileFaultsTest, AfterFaultsTheNextSaveSucceeds) {
    const std::string original = OriginalProfile();
    WriteFile(profile_, original);
    faults::writeBudget = 1000;
    Install();
    Session(true);
    ASSERT_TRUE(ReadFile(profile_) == original);
    faults::Clear();
    platform::ResetFileIo();
    Session(true);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(profile_.c_str()));
    const pugi::xml_node section = doc.child("profile").child("TRELVO40");
    EXPECT_STREQ(section.child_value("ExpandedMode"), "0");
    EXPECT_STREQ(section.child_value("EnableSpindle"), "1");
    EXPECT_TRUE(section.child("IdleDelay").empty());
    EXPECT_EQ(std::string(doc.child("profile").child("Preferences").child_value("Profile")), "Mach3Mill");
}

TEST_F(ProfileFaultsTest, FailingDialogAndFailingSaveTogether) {
    const std::string original = OriginalProfile();
    WriteFile(profile_, original);
    PlugSetProName(profile_.string().c_str());
    const std::string before = ReadFile(profile_);
    faults::Clear();
    faults::failTempOpen = true;
    Install();
    for (int i = 0; i < 3; ++i) {
        platform::FailNextDialogs(1);
        platform::SetDialogScript("mode 0 ok");
        PlugConfig();
    }
    platform::ResetFileIo();
    EXPECT_TRUE(ReadFile(profile_) == before);
    EXPECT_EQ(plugin().settings.IoMode, 1);  // a dialog that never showed changes nothing
    ExpectRunning();
}

}  // namespace

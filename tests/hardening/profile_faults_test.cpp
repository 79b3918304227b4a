// Faults while SetProName and Config save the host's profile: the plug-in runs on, the file is old or whole new.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mach3/lifecycle.h"
#include "mach3/log.h"
#include "mach3/update/update.h"
#include "mach3/update/wire.h"
#include "platform/file_io.h"
#include "platform/posix/dialog_script.h"
#include "platform/posix/test_host_hooks.h"
#include "platform/xml_document.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr uid_t kNobody = 65534;
constexpr uid_t kOwner = 2002;
constexpr gid_t kGroup = 3000;

// The hooks of one case; each wraps the real call so the fault lands at a chosen moment of the save.
namespace faults {
platform::FileIo real;
std::function<void()> beforeTempOpen;   // runs when the store opens its temporary file
bool failTempOpen = false;
long writeBudget = -1;                  // bytes the disk takes before it is full; -1: no limit
bool failClose = false;
bool failReplace = false;
std::function<void()> beforeReplace;
std::string order;  // 'c' for each flush and close of the new file, 'r' for each rename

void Clear() {
    order.clear();
    real = platform::fileIo();
    beforeTempOpen = nullptr;
    failTempOpen = false;
    writeBudget = -1;
    failClose = false;
    failReplace = false;
    beforeReplace = nullptr;
}

int CreateTemp(const char* target, std::string& tempPath, platform::FileIdentity& created, void** file) {
    if (beforeTempOpen) beforeTempOpen();
    if (failTempOpen) return EACCES;
    return real.createTemp(target, tempPath, created, file);
}
size_t Write(void* file, const void* data, size_t size) {
    if (writeBudget < 0) return real.write(file, data, size);
    const size_t n = size < static_cast<size_t>(writeBudget) ? size : static_cast<size_t>(writeBudget);
    writeBudget -= static_cast<long>(n);
    return n > 0 ? real.write(file, data, n) : 0;
}
int Commit(void* file, const platform::FileFacts& like) {
    order += 'c';
    const int result = real.commit(file, like);
    return failClose ? EIO : result;
}
int Replace(const char* from, const char* to) {
    order += 'r';
    if (beforeReplace) beforeReplace();
    return failReplace ? EXDEV : real.replace(from, to);
}
}  // namespace faults

// The sample host profile with a section of ours; its empty key stays as it is, so a start writes nothing.
std::string OriginalProfile() {
    std::string xml = ReadFile(fs::path(TRELVO_DATA_DIR) / "Mach3Mill-sample.xml");
    const size_t end = xml.rfind("</profile>");
    EXPECT_NE(end, std::string::npos);
    xml.insert(end, "<TRELVO40><ExpandedMode>1</ExpandedMode><IdleDelay></IdleDelay></TRELVO40>");
    return xml;
}

enum class Expect { Old, New, Other, Absent };

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
            myUpdate(testsupport::State());
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
        ASSERT_EQ(reference != original, config) << "only the dialog changes the file";
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
            // A start has nothing to change: whatever the faults, it leaves the file as it was.
            const Expect outcome = config ? c.outcome : Expect::Old;
            switch (outcome) {
            case Expect::Old: EXPECT_TRUE(after == original) << "old profile changed, " << after.size() << " bytes"; break;
            case Expect::New:
                EXPECT_TRUE(after == reference) << "not the complete new profile, " << after.size() << " bytes";
                EXPECT_EQ(faults::order, config ? "cr" : "") << "the new file is on disk before it takes the name";
                break;
            case Expect::Other: EXPECT_EQ(after, "<other program's profile/>"); break;
            // Not made anew by the save that found it gone.
            case Expect::Absent: EXPECT_EQ(after, "<absent>"); break;
            }
            EXPECT_EQ(FolderEntries(), outcome == Expect::Absent ? std::vector<std::string>{}
                                                                   : std::vector<std::string>{"profile.xml"});
            // The settings were read from the file as loaded, whatever became of the save.
            EXPECT_EQ(testsupport::State().settings.IoMode, config ? 0 : 1);
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
        // Not the file the save read: read again, and a profile gone is not made anew, one not
        // well-formed not written over.
        {"profile deleted between load and save",
         [](const fs::path& p) { faults::beforeTempOpen = [p] { fs::remove(p); }; }, Expect::Absent},
        // Inside the rename's own window, after the last look: the new profile takes the name.
        {"profile deleted just before the rename",
         [](const fs::path& p) { faults::beforeReplace = [p] { fs::remove(p); }; }, Expect::New},
        {"profile replaced between load and save",
         [other](const fs::path& p) { faults::beforeTempOpen = [p, other] { WriteFile(p, other); }; }, Expect::Other},
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
    EXPECT_FALSE(section.child("IdleDelay").empty()) << "an empty key is left as it is";
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
    EXPECT_EQ(testsupport::State().settings.IoMode, 1);  // a dialog that never showed changes nothing
    ExpectRunning();
}

// A host killed between writing the new profile and renaming it leaves a copy; the next save that
// works takes away the copies that are its own: named as it names them, the user's, over a minute old.
TEST_F(ProfileFaultsTest, CopiesOfKilledSavesGoWithTheNextSave) {
    WriteFile(profile_, OriginalProfile());
    for (int kill = 0; kill < 3; ++kill) {
        const pid_t host = fork();
        ASSERT_GE(host, 0);
        if (host == 0) {
            platform::fileIo().replace = [](const char*, const char*) { return raise(SIGKILL); };
            PlugSetProName(profile_.c_str());
            platform::SetDialogScript("mode 0 ok");
            PlugConfig();
            _exit(0);
        }
        int status = 0;
        waitpid(host, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    ASSERT_EQ(FolderEntries().size(), 4u) << "three copies beside the profile";
    // Young, a link, another user's, a digit among the letters, another file's, the user's own name,
    // the user's notes under a journal's name, a journal's copy without a journal's header.
    const std::vector<std::string> kept = {"..profile.xml.trelvo-journal.trelvo-save-Notesabcdefg.tmp",
                                           ".profile.xml.trelvo-journal",
                                           ".profile.xml.trelvo-save-Freshabcdefg.tmp", ".profile.xml.trelvo-save-Linkabcdefgh.tmp",
                                           ".profile.xml.trelvo-save-Old0oldabcde.tmp", ".profile.xml.trelvo-save-Otherabcdefg.tmp",
                                           ".x.xml.trelvo-save-Oldabcdefghi.tmp", "profile.xml", "profile.xml.trelvo-Backup01"};
    for (const std::string& name : kept) {
        if (name != "profile.xml") WriteFile(dir_ / name, "kept");
    }
    chmod((dir_ / kept[1]).c_str(), 0600);
    // What a killed journal write leaves: a copy with the journal's header, which goes.
    WriteFile(dir_ / "..profile.xml.trelvo-journal.trelvo-save-Journalabcde.tmp", "TRELVO-40 profile journal 1\n" + profile_.string());
    fs::remove(dir_ / kept[3]);
    fs::create_symlink("profile.xml", dir_ / kept[3]);
    if (geteuid() == 0) lchown((dir_ / kept[5]).c_str(), kNobody, kNobody);
    for (const auto& name : FolderEntries()) {
        const timespec past[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
        if (name != kept[2]) utimensat(AT_FDCWD, (dir_ / name).c_str(), past, AT_SYMLINK_NOFOLLOW);
    }
    PlugSetProName(profile_.c_str());
    EXPECT_EQ(FolderEntries().size(), kept.size() + 4) << "a start with nothing to change cleans nothing up";
    platform::SetDialogScript("mode 2 ok");
    PlugConfig();
    std::vector<std::string> names = FolderEntries();
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = kept;
    if (geteuid() != 0) expected.erase(expected.begin() + 5);  // only root can give a copy to another user
    EXPECT_EQ(names, expected) << "only ours went";
}

// The paths a save meets in the field. Each case runs a whole session with the log open: SetProName
// over the path, then the dialog's OK and a cancel; what must come of it is one of three outcomes.

enum class Outcome { Saved, Refused, Unreadable };

struct SaveCase {
    const char* name;
    std::function<fs::path(const fs::path& dir, const std::string& original)> setup;  // gives the profile path
    Outcome outcome;
    const char* reason;  // in the report of a save that did not happen, or the WARNING of one made in place
    std::function<void(const fs::path& dir, const fs::path& path)> check;
    bool unprivileged = false;  // run by a user that the permissions hold back, also in CI as root
    const char* warning = nullptr;  // the WARNING of a save made otherwise than as a save by rename goes
};

class SavePathsTest : public ProfileFaultsTest {
protected:
    void SetUp() override {
        ProfileFaultsTest::SetUp();
        platform::warningHook() = {[](const char*, const char* text, void* self) {
                                       static_cast<SavePathsTest*>(self)->boxes_.push_back(text);
                                   },
                                   this};
    }
    void TearDown() override {
        platform::warningHook() = {};
        ProfileFaultsTest::TearDown();
    }

    // The log is opened from a profile of its own, so it is open whatever the case's path holds.
    void Run(const SaveCase& c, const fs::path& path, const std::string& original) {
        const fs::path logs = dir_ / "logs";
        WriteFile(logs / "log-profile.xml",
                  testsupport::ProfileWithSettings({{"DebugLogFile", (logs / "debug.log").string()}, {"DebugLogLevel", "2"}}));
        log_ = logs / "debug.log";
        PlugSetProName((logs / "log-profile.xml").c_str());
        ASSERT_TRUE(LogIsOpen());
        const std::string name = PlugSetProName(path.c_str());
        EXPECT_EQ(name.substr(name.size() - 21), " and 41 Quorlane Inc.");
        const size_t errorsAfterLoad = Errors().size();
        EXPECT_EQ(testsupport::State().settings.IoMode, c.outcome == Outcome::Unreadable ? 2 : 1) << "the defaults, or the file's";
        Init();
        platform::SetDialogScript("mode 0 spindle on ok");
        PlugConfig();
        platform::SetDialogScript("cancel");
        PlugConfig();  // the bytes would be the file's own: nothing is written, nothing reported
        std::string reason = c.reason;  // "{path}" stands for the profile's path
        if (const size_t at = reason.find("{path}"); at != std::string::npos) reason.replace(at, 6, path.string());
        const std::string report = "TRELVO-40/41 settings could not be saved to " + path.string() + ": " + reason;
        if (c.outcome == Outcome::Saved) {
            EXPECT_TRUE(Errors().empty());
            EXPECT_TRUE(boxes_.empty());
            const std::string inPlace = "WARNING: TRELVO-40/41 settings saved to " + path.string() + " in place, not atomically: ";
            std::vector<std::string> warnings(*c.reason ? 1 : 0, inPlace + c.reason);
            if (c.warning != nullptr) {
                std::string warning = c.warning;
                for (size_t at; (at = warning.find("{path}")) != std::string::npos;) warning.replace(at, 6, path.string());
                for (size_t at; (at = warning.find("{dir}")) != std::string::npos;) warning.replace(at, 5, dir_.string());
                warnings = {"WARNING: " + warning};
            }
            EXPECT_EQ(Lines("WARNING: "), warnings) << "the dialog's save only";
            pugi::xml_document doc;
            ASSERT_TRUE(doc.load_file(path.c_str())) << "one whole document";
            EXPECT_STREQ(doc.child("profile").child("TRELVO40").child_value("ExpandedMode"), "0");
        } else {
            // A file that cannot be read or checked is reported by every save, the start's and Cancel's
            // too; one that only cannot be written, by the dialog's save that would change it.
            const bool unreadable = c.outcome == Outcome::Unreadable;
            EXPECT_EQ(errorsAfterLoad, unreadable ? 1u : 0u);
            EXPECT_EQ(Errors(), std::vector<std::string>(unreadable ? 3 : 1, "ERROR: " + report));
            EXPECT_EQ(boxes_, std::vector<std::string>{report});
            // What failed first, the path shortened, the reason whole.
            std::string status = report;
            for (size_t at; status.size() >= HOST_STATUS_TEXT_SIZE && (at = status.find(dir_.string())) != std::string::npos;) {
                status.replace(at, dir_.string().size(), "...");
            }
            const std::string shown = state_.statusText;
            if (status.size() < HOST_STATUS_TEXT_SIZE) {
                EXPECT_EQ(shown, status);
            } else {
                EXPECT_EQ(shown.rfind("TRELVO-40/41 settings could not be saved to ", 0), 0u) << shown;
                EXPECT_TRUE(shown.ends_with(": " + reason)) << shown;
            }
            if (access(path.c_str(), R_OK) == 0 && fs::is_regular_file(path)) {
                EXPECT_TRUE(ReadFile(path) == original) << "left as it was";
            }
        }
        if (c.check) c.check(dir_, path);
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            EXPECT_EQ(entry.path().filename().string().find(".trelvo-"), std::string::npos) << entry.path();
        }
    }

    // As the unprivileged user, in a child: root would pass every permission.
    void RunUnprivileged(const SaveCase& c, const fs::path& path, const std::string& original) {
        if (geteuid() != 0) return Run(c, path, original);
        fs::create_directories(dir_ / "logs");
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind("root-", 0) != 0) lchown(entry.path().c_str(), kNobody, kNobody);
        }
        lchown(dir_.c_str(), kNobody, kNobody);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        // The user's own home, where a journal goes when the profile's folder takes no new file.
        const fs::path home = dir_.parent_path() / (dir_.filename().string() + "-home");
        fs::create_directories(home);
        lchown(home.c_str(), kNobody, kNobody);
        if (child == 0) {
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(3);
            setenv("HOME", home.c_str(), 1);
            unsetenv("XDG_STATE_HOME");
            Run(c, path, original);
            std::fflush(nullptr);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged run failed";
        fs::remove_all(home);
    }

    std::vector<std::string> Lines(const std::string& level) {
        std::vector<std::string> lines;
        for (const auto& m : Messages()) {
            if (m.rfind(level, 0) == 0) lines.push_back(m);
        }
        return lines;
    }
    std::vector<std::string> Errors() { return Lines("ERROR: "); }

    std::vector<std::string> boxes_;
};

// An access ACL as the kernel stores it: owner rw, user 1234 r, group r, mask r, others nothing.
const std::string kAcl = [] {
    const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
        {0x01, 6, 0xFFFFFFFF}, {0x02, 4, 1234}, {0x04, 4, 0xFFFFFFFF}, {0x10, 4, 0xFFFFFFFF}, {0x20, 0, 0xFFFFFFFF}};
    const uint32_t version = 2;
    std::string bytes(reinterpret_cast<const char*>(&version), 4);
    bytes.append(reinterpret_cast<const char*>(entries), sizeof entries);
    return bytes;
}();

std::string Attribute(const fs::path& path, const char* name) {
    char value[256];
    const ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(n));
}

mode_t Mode(const fs::path& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

fs::path Plain(const fs::path& dir, const std::string& original, mode_t mode) {
    const fs::path path = dir / "profile.xml";
    WriteFile(path, original);
    chmod(path.c_str(), mode);
    return path;
}

// Another host saves the same profile while this one does; both read it back after each save. The
// file must always be the one complete document that both write.
void SaveConcurrently(const fs::path& path, int rounds) {
    ResetPluginState();
    PlugSetProName(path.c_str());
    const std::string expected = ReadFile(path);
    const auto saves = [&] {
        int broken = 0;
        for (int i = 0; i < rounds; ++i) {
            ResetPluginState();
            PlugSetProName(path.c_str());
            broken += ReadFile(path) == expected ? 0 : 1;
        }
        return broken;
    };
    const pid_t other = fork();
    if (other == 0) _exit(saves() == 0 ? 0 : 1);
    EXPECT_EQ(saves(), 0) << "times this host found the profile broken";
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other host found the profile broken";
}

// A lock that a case holds across its session: another program's on the profile, or one of our savers'.
pid_t g_holder = -1;
std::string g_home;  // $HOME while a case sets another
void* g_heldLock = nullptr;

// Another program's record lock on the profile, which any reader may take: it must not hold a save.
fs::path LockedByAnotherProgram(const fs::path& dir, const std::string& original, short type, off_t length, int command) {
    const fs::path p = Plain(dir, original, 0644);
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    g_holder = fork();
    if (g_holder == 0) {
        const int fd = open(p.c_str(), type == F_RDLCK ? O_RDONLY : O_RDWR);
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_len = length;
        const char locked = fd >= 0 && fcntl(fd, command, &range) == 0 ? 'y' : 'n';
        if (write(ready[1], &locked, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char locked = 'n';
    EXPECT_EQ(read(ready[0], &locked, 1), 1);
    EXPECT_EQ(locked, 'y');
    close(ready[0]);
    close(ready[1]);
    return p;
}

void ReleaseHeld(const fs::path&, const fs::path&) {
    if (g_holder > 0) {
        kill(g_holder, SIGKILL);
        waitpid(g_holder, nullptr, 0);
    }
    g_holder = -1;
    platform::fileIo().unlock(g_heldLock);
    g_heldLock = nullptr;
}

std::vector<SaveCase> SavePathCases() {
    const auto keepsPath = [](bool (*is)(const fs::path&)) {
        return [is](const fs::path&, const fs::path& path) { EXPECT_TRUE(is(path)); };
    };
    return {
        {"mode 0600, owner and group kept by the new file",
         [](const fs::path& dir, const std::string& o) {
             const fs::path p = Plain(dir, o, 0600);
             if (geteuid() == 0) {
                 EXPECT_EQ(chown(p.c_str(), kOwner, kGroup), 0);  // distinct: a swap shows
             }
             return p;
         },
         Outcome::Saved, "",
         [](const fs::path&, const fs::path& p) {
             EXPECT_EQ(Mode(p), 0600u);
             struct stat st {};
             stat(p.c_str(), &st);
             if (geteuid() == 0) {
                 EXPECT_EQ(st.st_uid, kOwner);
                 EXPECT_EQ(st.st_gid, kGroup);
             }
         }},
        {"read-only 0444, refused even for root", [](const fs::path& d, const std::string& o) { return Plain(d, o, 0444); },
         Outcome::Refused, "the file is read-only", [](const fs::path&, const fs::path& p) { EXPECT_EQ(Mode(p), 0444u); }},
        {"link followed to its target",
         [](const fs::path& dir, const std::string& o) {
             fs::create_directories(dir / "real");
             WriteFile(dir / "real" / "target.xml", o);
             fs::create_symlink("real/target.xml", dir / "profile.xml");
             return dir / "profile.xml";
         },
         Outcome::Saved, "",
         [](const fs::path& dir, const fs::path& p) {
             EXPECT_TRUE(fs::is_symlink(p));
             EXPECT_EQ(fs::read_symlink(p), "real/target.xml");
             EXPECT_NE(ReadFile(dir / "real" / "target.xml").find("<ExpandedMode>0<"), std::string::npos);
         }},
        {"two writers", [](const fs::path& d, const std::string& o) { return Plain(d, o, 0644); }, Outcome::Saved, "",
         [](const fs::path&, const fs::path& p) { SaveConcurrently(p, 40); }},
        {"another program's read lock of one byte on the profile (OFD): saved, not held back",
         [](const fs::path& d, const std::string& o) { return LockedByAnotherProgram(d, o, F_RDLCK, 1, F_OFD_SETLK); },
         Outcome::Saved, "", ReleaseHeld},
        {"another program's write lock on the whole profile (classic POSIX): saved, not held back",
         [](const fs::path& d, const std::string& o) { return LockedByAnotherProgram(d, o, F_WRLCK, 0, F_SETLK); },
         Outcome::Saved, "", ReleaseHeld},
        // Not a shared lock: two savers of ours never both pass.
        {"a saver of ours holds the lock: the save waits, fails as busy, the file left alone",
         [](const fs::path& d, const std::string& o) {
             const fs::path p = Plain(d, o, 0644);
             std::string where;
             EXPECT_EQ(platform::fileIo().lock(p.c_str(), &g_heldLock, where), 0) << where;
             EXPECT_NE(g_heldLock, nullptr);
             return p;
         },
         Outcome::Refused, "another save of ours (a plug-in or trelvo-sim) holds the profile's lock", ReleaseHeld},
        {"a home open to others, so no state folder and no lock: saved, and the log says why",
         [](const fs::path& d, const std::string& o) {
             g_home = getenv("HOME");
             fs::create_directories(d / "home");
             chmod((d / "home").c_str(), 0777);
             setenv("HOME", (d / "home").c_str(), 1);
             return Plain(d, o, 0644);
         },
         Outcome::Saved, "",
         [](const fs::path& d, const fs::path&) {
             setenv("HOME", g_home.c_str(), 1);
             EXPECT_FALSE(fs::exists(d / "home" / ".local")) << "nothing made in it";
         },
         false,
         "TRELVO-40/41 saving {path} without the lock that orders our own saves: the state folder or one above it belongs "
         "to another user or others may write it ({dir}/home)"},
        {"directory at the path",
         [](const fs::path& dir, const std::string&) {
             fs::create_directory(dir / "profile.xml");
             return dir / "profile.xml";
         },
         Outcome::Unreadable, "not a regular file (at the read of {path})", keepsPath([](const fs::path& p) { return fs::is_directory(p); })},
        {"FIFO at the path",
         [](const fs::path& dir, const std::string&) {
             mkfifo((dir / "profile.xml").c_str(), 0644);
             return dir / "profile.xml";
         },
         Outcome::Unreadable, "not a regular file (at the read of {path})", keepsPath([](const fs::path& p) { return fs::is_fifo(p); })},
        {"device behind the path",
         [](const fs::path& dir, const std::string&) {
             fs::create_symlink("/dev/zero", dir / "profile.xml");
             return dir / "profile.xml";
         },
         Outcome::Unreadable, "not a regular file (at the read of {path})", keepsPath([](const fs::path& p) { return fs::is_symlink(p); })},
        {"not well-formed: entity, bare ampersand, duplicate attribute, bad name",
         [](const fs::path& dir, const std::string&) {
             WriteFile(dir / "profile.xml", "<profile><A>&nbsp;x</A><TRELVO40><ExpandedMode>1</ExpandedMode></TRELVO40></profile>");
             for (const char* bad : {"<p>a & b</p>", "<p a='1' a='2'/>", "<p><1A/></p>", "<p/><q/>", "<p/>text"}) {
                 WriteFile(dir / "other.xml", bad);
                 EXPECT_EQ(platform::CreateXmlDocument()->Load((dir / "other.xml").string()),
                           platform::XmlLoadResult::Unparseable) << bad;
             }
             fs::remove(dir / "other.xml");
             return dir / "profile.xml";
         },
         Outcome::Unreadable, "not well-formed XML", nullptr},
        {"entity declared in the file's DTD: read, and kept as a reference",
         [](const fs::path& dir, const std::string&) {
             WriteFile(dir / "profile.xml",
                       "<!DOCTYPE profile [<!ENTITY one \"1\">]><profile><Host>&one;</Host>"
                       "<TRELVO40><ExpandedMode>1</ExpandedMode></TRELVO40></profile>");
             return dir / "profile.xml";
         },
         Outcome::Saved, "",
         [](const fs::path&, const fs::path& p) { EXPECT_NE(ReadFile(p).find("<Host>&one;</Host>"), std::string::npos); }},
        {"a name of 255 bytes: the copy's name shortened, saved",
         [](const fs::path& dir, const std::string& o) {
             const fs::path p = dir / (std::string(251, 'p') + ".xml");
             WriteFile(p, o);
             return p;
         },
         Outcome::Saved, "",
         [](const fs::path&, const fs::path& p) {
             std::string where;  // the lock's name is of a fixed length, whatever the profile's
             EXPECT_EQ(platform::fileIo().lock(p.c_str(), &g_heldLock, where), 0) << where;
             EXPECT_NE(g_heldLock, nullptr);
             ReleaseHeld(p, p);
         }},
        {"a name of 255 bytes, two hard links: the journal's name shortened, saved in place",
         [](const fs::path& dir, const std::string& o) {
             const fs::path p = dir / (std::string(251, 'q') + ".xml");
             WriteFile(p, o);
             fs::create_hard_link(p, dir / "alias.xml");
             return p;
         },
         Outcome::Saved, "the file has more than one hard link", nullptr},
        {"read-only, a long name: the status keeps the reason",
         [](const fs::path& dir, const std::string& o) {
             const fs::path p = dir / (std::string(200, 'r') + ".xml");
             WriteFile(p, o);
             chmod(p.c_str(), 0444);
             return p;
         },
         Outcome::Refused, "the file is read-only", nullptr},
        {"folder not writable: written in place", [](const fs::path& d, const std::string& o) {
             const fs::path p = Plain(d, o, 0644);
             chmod(d.c_str(), 0555);
             return p;
         },
         Outcome::Saved, "its folder is not writable", [](const fs::path& d, const fs::path&) { chmod(d.c_str(), 0755); }, true},
        {"root's 0644 file in a folder anyone can write, run unprivileged",
         [](const fs::path& d, const std::string& o) {
             if (geteuid() != 0) return fs::path();  // only root can give a file to root
             const fs::path p = d / "root-profile.xml";
             WriteFile(p, o);
             chmod(p.c_str(), 0644);
             chmod(d.c_str(), 0777);
             return p;
         },
         Outcome::Refused, "the file is read-only",
         [](const fs::path&, const fs::path& p) {
             struct stat st {};
             stat(p.c_str(), &st);
             EXPECT_EQ(st.st_uid, 0u);
             EXPECT_EQ(st.st_mode & 07777, 0644u);
         },
         true},
        {"hard link: written in place, both names keep the file",
         [](const fs::path& d, const std::string& o) {
             const fs::path p = Plain(d, o, 0644);
             fs::create_hard_link(p, d / "alias.xml");
             return p;
         },
         Outcome::Saved, "the file has more than one hard link",
         [](const fs::path& d, const fs::path& p) {
             EXPECT_EQ(fs::hard_link_count(p), 2u);
             EXPECT_TRUE(ReadFile(d / "alias.xml") == ReadFile(p));
         }},
        {"extended attributes and ACL kept", [](const fs::path& d, const std::string& o) {
             const fs::path p = Plain(d, o, 0640);
             EXPECT_EQ(setxattr(p.c_str(), "user.origin", "host", 4, 0), 0);
             EXPECT_EQ(setxattr(p.c_str(), "system.posix_acl_access", kAcl.data(), kAcl.size(), 0), 0);
             return p;
         },
         Outcome::Saved, "",
         [](const fs::path&, const fs::path& p) {
             EXPECT_EQ(Attribute(p, "user.origin"), "host");
             EXPECT_EQ(Attribute(p, "system.posix_acl_access"), kAcl);
             EXPECT_EQ(Mode(p), 0640u);
         }},
        {"failed save: file unreadable to its user", [](const fs::path& d, const std::string& o) { return Plain(d, o, 0200); },
         Outcome::Unreadable, "Permission denied (at the read of {path})", nullptr, true},
    };
}

TEST_F(SavePathsTest, EverySavePathEndsWholeOrReported) {
    for (const SaveCase& c : SavePathCases()) {
        SCOPED_TRACE(c.name);
        ResetPluginState();
        platform::ResetFileIo();
        boxes_.clear();
        state_ = HostStateBlock{};
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "logs");
        const std::string original = OriginalProfile();
        const fs::path path = c.setup(dir_, original);
        if (path.empty()) continue;
        const std::string before = fs::is_regular_file(path) ? ReadFile(path) : std::string();
        if (c.unprivileged) {
            RunUnprivileged(c, path, before);
        } else {
            Run(c, path, before);
        }
        chmod(dir_.c_str(), 0755);
    }
}

}  // namespace

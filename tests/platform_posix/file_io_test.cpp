// The POSIX file layer's save under its system calls: the order and flags of what reaches the disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mach3/lifecycle.h"
#include "mach3/profile/xml_profile.h"
#include "platform/file_io.h"
#include "platform/posix/syscalls.h"
#include "platform/xml_document.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::posix::Syscalls;

// What the calls did, in order, as the disk would tell it: whether a new file was created
// exclusively, what it held when it was flushed, what was renamed over the profile, and the journal
// of a save in place.
namespace watch {
Syscalls real;
std::string profile;
std::string expected;      // the bytes of the save
mode_t oldMode = 0;
std::vector<std::string> trace;
int tempFd = -1;
int profileFd = -1;
int folderFd = -1;
int journalFd = -1;
bool plant = false;        // another's file at the first temporary name
bool failRename = false;
bool swapAtRename = false;  // another program's file takes the copy's name while the rename fails
bool denyFile = false;     // faccessat says no, as for root's 0644 file and an unprivileged user
bool denyFolder = false;
bool denyChown = false;    // as for a user who does not own the file
int changeAtFsync = 0;      // another program writes the profile while the new file is flushed, so many times
bool changeAtJournalFsync = false;
bool sameSizeAtFsync = false;  // the same, in place, keeping the size and putting the mtime back
bool hideTimes = false;    // stat and fstat give no time stamps: only the bytes can tell a change
int profileWrites = -1;    // writes to the profile that reach it; then -1 (EIO); -1: all
bool zeroWrite = false;    // the profile's write returns 0
bool otherAtZeroWrite = false;  // and another program has just written the profile
bool churning = false;     // another program writes the profile during every read of it

std::string Folder() { return fs::path(profile).parent_path().string(); }
bool IsTemp(const char* path) { return std::string(path).rfind(Folder() + "/.profile.xml.trelvo-save-", 0) == 0; }
bool IsJournal(const char* path) { return std::string(path).find("trelvo-journal") != std::string::npos; }
bool IsLock(const char* path) { return std::string(path).find("/trelvo/lock-") != std::string::npos; }

int Open(const char* path, int flags, mode_t mode) {
    if (IsTemp(path) && plant) {
        plant = false;
        testsupport::WriteFile(path, "another's");
    }
    const int fd = real.open(path, flags, mode);
    for (int* known : {&tempFd, &profileFd, &folderFd, &journalFd}) {
        if (*known == fd) *known = -1;  // a number closed and given out again
    }
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    if (IsLock(path)) {
        trace.push_back("lock profile");
    } else if (IsTemp(path)) {
        trace.push_back((flags & O_EXCL) ? "create temp exclusively" : "create temp");
        if (fd >= 0) tempFd = fd;
    } else if (IsJournal(path) && writing) {
        trace.push_back((flags & O_EXCL) && (mode & 077) == 0 ? "create journal, 0600, exclusively" : "create journal");
        journalFd = fd;
    } else if (path == profile && writing) {
        trace.push_back((flags & (O_TRUNC | O_CREAT)) ? "open profile to replace" : "open profile in place");
        profileFd = fd;
    } else if (writing) {
        trace.push_back(std::string("open for writing ") + path);
    } else if (Folder() == path || fs::path(path).filename() == "trelvo") {
        folderFd = fd;
        tempFd = journalFd = -1;  // closed by now; their numbers may come again
    }
    return fd;
}
ssize_t Write(int fd, const void* data, size_t size) {
    if (fd == profileFd) {
        trace.push_back("write profile");
        if (zeroWrite) {
            zeroWrite = false;
            if (otherAtZeroWrite) testsupport::WriteFile(profile, "<profile><Other/></profile>");
            return 0;
        }
        if (profileWrites == 0) {
            errno = EIO;
            return -1;
        }
        if (profileWrites > 0 && --profileWrites == 0) size /= 2;  // the write that is cut off
    }
    if (fd == journalFd) trace.push_back("write journal");
    return real.write(fd, data, size);
}
int Fsync(int fd) {
    struct stat st {};
    real.fstat(fd, &st);
    if (fd == tempFd) {
        const bool like = (st.st_mode & 07777) == oldMode && static_cast<size_t>(st.st_size) == expected.size();
        trace.push_back(like ? "fsync temp, old mode, all bytes" : "fsync temp, mode or bytes amiss");
        if (sameSizeAtFsync) {
            sameSizeAtFsync = false;
            struct stat st {};
            ::stat(profile.c_str(), &st);
            testsupport::WriteFile(profile, "<profile><Host>the host's SETTINGS</Host><TRELVO40><K>123456</K></TRELVO40></profile>");
            const timespec times[2] = {st.st_atim, st.st_mtim};
            utimensat(AT_FDCWD, profile.c_str(), times, 0);
        }
        if (changeAtFsync > 0) {
            --changeAtFsync;
            testsupport::WriteFile(profile + ".other", "<profile><Other/></profile>");
            real.rename((profile + ".other").c_str(), profile.c_str());
        }
    } else if (fd == profileFd) {
        trace.push_back("fsync profile");
    } else if (fd == journalFd) {
        trace.push_back("fsync journal");
        if (changeAtJournalFsync) {
            changeAtJournalFsync = false;
            testsupport::WriteFile(profile, "<profile><Other/><TRELVO40><K>123456</K></TRELVO40></profile>");
        }
    } else if (fd == folderFd) {
        trace.push_back("fsync folder");
    }
    return real.fsync(fd);
}
int Ftruncate(int fd, off_t length) {
    if (fd == profileFd) trace.push_back("truncate profile to " + std::to_string(length));
    return real.ftruncate(fd, length);
}
int Fchown(int fd, uid_t owner, gid_t group) {
    if (denyChown) {
        errno = EPERM;
        return -1;
    }
    return real.fchown(fd, owner, group);
}
int Faccessat(int dirfd, const char* path, int mode, int flags) {
    if ((denyFile && path == profile) || (denyFolder && Folder() == path)) {
        errno = EACCES;
        return -1;
    }
    return real.faccessat(dirfd, path, mode, flags);
}
int Rename(const char* from, const char* to) {
    trace.push_back(IsTemp(from) && to == profile ? "rename temp over profile"
                    : IsJournal(to)              ? "rename journal into place"
                                                 : "rename");
    if (swapAtRename) {
        testsupport::WriteFile(std::string(from) + ".other", "another's");
        real.rename((std::string(from) + ".other").c_str(), from);
    }
    if (failRename) {
        errno = EXDEV;
        return -1;
    }
    return real.rename(from, to);
}
int RenameNoReplace(const char* from, const char* to) {
    trace.push_back(!IsJournal(to)                                  ? "rename, never over a file"
                    : fs::path(to).parent_path().string() == Folder() ? "move journal beside, never over a file"
                                                                      : "move journal to the user's folder, never over a file");
    return real.renameNoReplace(from, to);
}
struct stat Timeless(struct stat st) {
    if (hideTimes) st.st_mtim = st.st_ctim = st.st_atim = timespec{};
    return st;
}
int Fstat(int fd, struct stat* st) {
    const int result = real.fstat(fd, st);
    *st = Timeless(*st);
    struct stat named {};
    if (result == 0 && churning && ::stat(profile.c_str(), &named) == 0 && named.st_ino == st->st_ino) {
        static long tick = 0;
        st->st_mtim.tv_nsec = ++tick % 1000000000;
    }
    return result;
}
int Stat(const char* path, struct stat* st) {
    const int result = real.stat(path, st);
    *st = Timeless(*st);
    return result;
}
int Unlink(const char* path) {
    trace.push_back(IsLock(path)      ? "unlock, removing the lock file"
                    : IsTemp(path)    ? "remove temp"
                    : IsJournal(path) ? "remove journal"
                                      : std::string("remove ") + path);
    return real.unlink(path);
}
}  // namespace watch

// Journals and locks go to a state folder in a home of the test's own: the real one is left alone,
// and the folders above the temporary folder (a world-writable /tmp) are not the home's to answer for.
class PosixSaveTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (const char* home = getenv("HOME")) home_ = home;
        setenv("HOME", Home().c_str(), 1);
        unsetenv("XDG_STATE_HOME");
        fs::create_directories(Home());
    }
    void TearDown() override {
        setenv("HOME", home_.c_str(), 1);
        PluginTest::TearDown();
    }
    fs::path Home() const { return dir_ / "home"; }

    // As the status shows a text too long for it: the profile's folder shortened.
    std::string Shortened(std::string text) const {
        for (size_t at; (at = text.find(dir_.string())) != std::string::npos;) text.replace(at, dir_.string().size(), "...");
        return text;
    }

    std::string home_;
};

void Watch() {
    auto& sys = platform::posix::syscalls();
    sys.open = watch::Open;
    sys.write = watch::Write;
    sys.fsync = watch::Fsync;
    sys.ftruncate = watch::Ftruncate;
    sys.fstat = watch::Fstat;
    sys.fchown = watch::Fchown;
    sys.faccessat = watch::Faccessat;
    sys.rename = watch::Rename;
    sys.unlink = watch::Unlink;
    sys.renameNoReplace = watch::RenameNoReplace;
    sys.stat = watch::Stat;
}

constexpr uid_t kOwner = 2002;  // distinct ids: a swap of owner and group shows
constexpr gid_t kGroup = 3000;

TEST_F(PosixSaveTest, WhatReachesTheDiskAndInWhichOrder) {
    const std::vector<std::string> replaced = {"lock profile", "create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile",
                                               "fsync folder"};
    const auto journal = [](bool beside) {
        return std::vector<std::string>{"create journal, 0600, exclusively", "write journal", "fsync journal",
                                        beside ? "move journal beside, never over a file"
                                               : "move journal to the user's folder, never over a file",
                                        "fsync folder"};
    };
    const std::vector<std::string> besideJournal = journal(true);
    auto inPlace = [&](std::vector<std::string> before, bool beside = true) {
        before.insert(before.begin(), "lock profile");
        before.push_back("open profile in place");
        const auto steps = journal(beside);
        before.insert(before.end(), steps.begin(), steps.end());
        for (const char* step : {"write profile", "fsync profile", "remove journal"}) before.push_back(step);
        return before;
    };
    const std::string old = "<profile><Host>the host's settings</Host><TRELVO40><K>123456</K></TRELVO40></profile>";
    const std::string fresh = "<profile><Host>the host's settings</Host><TRELVO40><K>1</K></TRELVO40></profile>";
    const std::string padded = fresh + std::string(old.size() - fresh.size(), ' ');
    const std::string others = "<profile><Other/><TRELVO40><K>1</K></TRELVO40></profile>";
    const std::vector<std::string> notOurs = {"p.xml.trelvo-20240517", "profile.xml.trelvo-Backup01", ".profile.xml.trelvo-journal",
                                              ".profile.xml.trelvo-save-abcdefghijk1.tmp", ".profile.xml.trelvo-save-abcdefghijkl.tmp.bak"};
    const struct {
        const char* name;
        int32_t value;  // what the store writes
        mode_t mode;
        void (*arrange)(const fs::path& dir);
        int error;
        std::vector<std::string> trace;
        std::string after;  // the profile afterwards; empty: as it was
        bool rootOnly = false;
        bool journalKept = false;  // the old text is in the journal only
    } cases[] = {
        {"mode 0644", 1, 0644, nullptr, 0, replaced, fresh},
        {"mode 0640", 1, 0640, nullptr, 0, replaced, fresh},
        {"unchanged bytes open nothing for writing", 123456, 0644, nullptr, 0, {}, ""},
        {"another's file at the first temporary name", 1, 0644, [](const fs::path&) { watch::plant = true; }, 0,
         {"lock profile", "create temp exclusively", "create temp exclusively", "fsync temp, old mode, all bytes",
          "rename temp over profile", "fsync folder"},
         fresh},
        {"a changed identity before the rename: read and spliced again", 1, 0644,
         [](const fs::path&) { watch::changeAtFsync = 1; }, 0,
         {"lock profile", "create temp exclusively", "fsync temp, mode or bytes amiss", "remove temp", "create temp exclusively",
          "fsync temp, old mode, all bytes", "rename temp over profile", "fsync folder"},
         others},
        {"the same size and the mtime put back before the rename: read and spliced again", 1, 0644,
         [](const fs::path&) { watch::sameSizeAtFsync = true; }, 0,
         {"lock profile", "create temp exclusively", "fsync temp, old mode, all bytes", "remove temp", "create temp exclusively",
          "fsync temp, old mode, all bytes", "rename temp over profile", "fsync folder"},
         "<profile><Host>the host's SETTINGS</Host><TRELVO40><K>1</K></TRELVO40></profile>"},
        {"no time stamps to tell, the same size rewritten before the rename: its bytes tell", 1, 0644,
         [](const fs::path&) { watch::sameSizeAtFsync = watch::hideTimes = true; }, 0,
         {"lock profile", "create temp exclusively", "fsync temp, old mode, all bytes", "remove temp", "create temp exclusively",
          "fsync temp, old mode, all bytes", "rename temp over profile", "fsync folder"},
         "<profile><Host>the host's SETTINGS</Host><TRELVO40><K>1</K></TRELVO40></profile>"},
        {"changed before every rename: exactly four copies, each removed, nothing written", 1, 0644,
         [](const fs::path&) { watch::changeAtFsync = 4; }, platform::FILEIO_CHANGED,
         [] {
             std::vector<std::string> t = {"lock profile"};
             for (int i = 0; i < 4; ++i) {
                 for (const char* step : {"create temp exclusively", "fsync temp, mode or bytes amiss", "remove temp"}) t.push_back(step);
             }
             return t;
         }(),
         "<profile><Other/></profile>"},
        {"rename refused", 1, 0644, [](const fs::path&) { watch::failRename = true; }, EXDEV,
         {"lock profile", "create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile", "remove temp"},
         ""},
        {"another user's file, the rename refused: the copy, given that user, still goes", 1, 0644,
         [](const fs::path& dir) {
             EXPECT_EQ(chown((dir / "profile.xml").c_str(), kOwner, kGroup), 0);
             watch::failRename = true;
         },
         EXDEV, {"lock profile", "create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile", "remove temp"},
         "", true},
        {"rename refused, another's file at the copy's name by then: it stays", 1, 0644,
         [](const fs::path&) { watch::failRename = watch::swapAtRename = true; }, EXDEV,
         {"lock profile", "create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile"}, ""},
        {"root's 0644 file, this process may not write it", 1, 0644, [](const fs::path&) { watch::denyFile = true; },
         platform::FILEIO_READ_ONLY, {"lock profile"}, ""},
        {"folder not writable: in place, journal in the user's own folder", 1, 0644,
         [](const fs::path&) { watch::denyFolder = true; }, 0, inPlace({}, false), padded},
        {"the user's own file at the journal's name beside: left alone, the journal in the user's folder", 1, 0640,
         [](const fs::path& dir) {
             fs::create_hard_link(dir / "profile.xml", dir / "alias.xml");
             testsupport::WriteFile(dir / ".profile.xml.trelvo-journal", "the user's");
         },
         0,
         [&] {
             auto t = inPlace({});
             const auto at = std::find(t.begin(), t.end(), "fsync folder");
             *at = "remove journal";  // its own copy, which would not take the name
             const auto own = journal(false);
             t.insert(at + 1, own.begin(), own.end());
             return t;
         }(),
         padded},
        {"the profile changes during each read of it: nothing locked or written, the step and path said", 1, 0644,
         [](const fs::path&) { watch::churning = true; }, platform::FILEIO_KEPT_CHANGING, {}, ""},
        // No journal where another user could swap it: nothing is written, and the reason says why.
        {"folder not writable, a folder above the user's state folder open to others: nothing written", 1, 0644,
         [](const fs::path& dir) {
             watch::denyFolder = true;
             fs::create_directories(dir / "home" / ".local" / "state");
             chmod((dir / "home" / ".local").c_str(), 0777);
         },
         platform::FILEIO_UNSAFE_FOLDER, {"open profile in place"}, ""},
        {"a second hard link: in place, journal beside", 1, 0640,
         [](const fs::path& dir) { fs::create_hard_link(dir / "profile.xml", dir / "alias.xml"); }, 0, inPlace({}), padded},
        {"an owner that cannot be kept: in place", 1, 0640,
         [](const fs::path& dir) {
             EXPECT_EQ(chown((dir / "profile.xml").c_str(), kOwner, kGroup), 0);
             watch::denyChown = true;
         },
         0, inPlace({"create temp exclusively", "remove temp"}, false), padded, true},
        {"in place, the write returns 0: reported, the old text put back", 1, 0644,
         [](const fs::path& dir) {
             fs::create_hard_link(dir / "profile.xml", dir / "alias.xml");
             watch::zeroWrite = true;
         },
         platform::FILEIO_SHORT_WRITE,
         {"lock profile", "open profile in place", "create journal, 0600, exclusively", "write journal", "fsync journal",
          "move journal beside, never over a file", "fsync folder", "write profile", "write profile", "truncate profile to 85",
          "fsync profile", "remove journal"},
         "", false},
        {"in place, another program writes while the journal is flushed: read and spliced again, nothing put back", 1, 0644,
         [](const fs::path& dir) {
             fs::create_hard_link(dir / "profile.xml", dir / "alias.xml");
             watch::changeAtJournalFsync = true;
         },
         0,
         [&] {
             auto t = inPlace({});
             t.erase(t.end() - 3, t.end());  // the check after the journal finds the change: no write
             t.push_back("remove journal");
             const auto again = inPlace({});
             t.insert(t.end(), again.begin() + 1, again.end());  // the lock is held throughout
             return t;
         }(),
         [&] {
             const std::string theirs = "<profile><Other/><TRELVO40><K>123456</K></TRELVO40></profile>";
             const std::string other = "<profile><Other/><TRELVO40><K>1</K></TRELVO40></profile>";
             return other + std::string(theirs.size() - other.size(), ' ');
         }()},
        {"in place, the write fails after another program wrote: nothing put back over its file", 1, 0644,
         [](const fs::path& dir) {
             fs::create_hard_link(dir / "profile.xml", dir / "alias.xml");
             watch::zeroWrite = watch::otherAtZeroWrite = true;
         },
         platform::FILEIO_SHORT_WRITE,
         {"lock profile", "open profile in place", "create journal, 0600, exclusively", "write journal", "fsync journal",
          "move journal beside, never over a file", "fsync folder", "write profile"},
         "<profile><Other/></profile>", false, true},
        {"the clean-up leaves a file of any other name", 1, 0644,
         [](const fs::path& dir) {
             for (const char* name : {"p.xml.trelvo-20240517", "profile.xml.trelvo-Backup01", ".profile.xml.trelvo-save-abcdefghijk1.tmp",
                                      ".profile.xml.trelvo-save-abcdefghijkl.tmp.bak", ".profile.xml.trelvo-save-abcdefghijkl.tmp"}) {
                 testsupport::WriteFile(dir / name, "the user's");
                 const timespec past[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
                 utimensat(AT_FDCWD, (dir / name).c_str(), past, 0);
             }
         },
         0, [&] { auto t = replaced; t.push_back("remove temp"); return t; }(), fresh},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rootOnly && geteuid() != 0) continue;
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        testsupport::WriteFile(profile_, old);
        chmod(profile_.c_str(), c.mode);
        fs::create_directories(Home());
        watch::real = platform::posix::syscalls();
        watch::profile = profile_.string();
        watch::expected = c.after.empty() || c.after == padded ? fresh : c.after;
        watch::oldMode = c.mode;
        watch::trace.clear();
        watch::tempFd = watch::profileFd = watch::folderFd = watch::journalFd = -1;
        watch::plant = watch::failRename = watch::swapAtRename = watch::denyFile = watch::denyFolder = watch::denyChown = false;
        watch::zeroWrite = watch::changeAtJournalFsync = watch::sameSizeAtFsync = watch::hideTimes = false;
        watch::changeAtFsync = 0;
        watch::otherAtZeroWrite = watch::churning = false;
        watch::profileWrites = -1;
        if (c.arrange) c.arrange(dir_);
        struct stat before {};
        stat(profile_.c_str(), &before);
        auto store = std::make_unique<CXmlProfile>(profile_.string());
        store->WriteInt("TRELVO40", "K", c.value);
        Watch();

        std::string reason;
        EXPECT_EQ(store->Save(reason), c.error == 0) << reason;
        if (c.error == platform::FILEIO_CHANGED) {
            EXPECT_EQ(reason, "another program is writing the profile: it changed during each of 4 tries");
        } else if (c.error != 0) {
            EXPECT_EQ(reason.rfind(platform::FileErrorText(c.error), 0), 0u) << reason;
        }
        if (c.error == platform::FILEIO_KEPT_CHANGING) {
            EXPECT_NE(reason.find("(at the read of " + profile_.string() + ")"), std::string::npos) << reason;
        }
        if (c.error == platform::FILEIO_UNSAFE_FOLDER) {
            EXPECT_NE(reason.find("this user's own folder (" + (Home() / ".local").string() + ")"), std::string::npos) << reason;
        }
        platform::posix::ResetSyscalls();

        std::vector<std::string> expected = c.trace;
        if (!expected.empty() && expected.front() == "lock profile") expected.push_back("unlock, removing the lock file");
        EXPECT_EQ(watch::trace, expected);
        EXPECT_EQ(testsupport::ReadFile(profile_), c.after.empty() ? old : c.after);
        struct stat after {};
        stat(profile_.c_str(), &after);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name == "alias.xml") {
                EXPECT_EQ(testsupport::ReadFile(entry.path()), testsupport::ReadFile(profile_)) << "the other link holds the profile";
            } else if (c.journalKept && name == ".profile.xml.trelvo-journal") {
                EXPECT_NE(testsupport::ReadFile(entry.path()).find(old), std::string::npos) << "the old text is kept";
            } else if (std::find(notOurs.begin(), notOurs.end(), name) != notOurs.end()) {
                EXPECT_EQ(testsupport::ReadFile(entry.path()), "the user's");
            } else if (name.find(".trelvo-") != std::string::npos) {
                EXPECT_EQ(testsupport::ReadFile(entry.path()), "another's") << "only the other's file stays";
            } else {
                EXPECT_TRUE(name == "profile.xml" || name == "home" || name == ".local" || name == "state" || name == "trelvo")
                    << name;
            }
        }
    }
}

// A save in place cut off in the middle, its own repair failing too: the journal stays, and the next
// load puts the old text back, says so in the status at InitControl and in the log once it opens.
TEST_F(PosixSaveTest, AJournalIsWrittenBeforeTheWriteInPlaceAndUsedAtTheNextLoad) {
    const std::string old = testsupport::ProfileWithSettings({{"DebugLogFile", log_.string()}, {"DebugLogLevel", "2"}, {"ExpandedMode", "1"}});
    testsupport::WriteFile(profile_, old);
    fs::create_hard_link(profile_, dir_ / "alias.xml");
    watch::real = platform::posix::syscalls();
    watch::profile = profile_.string();
    watch::trace.clear();
    watch::tempFd = watch::profileFd = watch::folderFd = watch::journalFd = -1;
    watch::plant = watch::failRename = watch::denyFile = watch::denyFolder = watch::denyChown = false;
    watch::changeAtFsync = watch::zeroWrite = false;
    watch::profileWrites = 1;  // the first write is cut off, every later one fails
    {
        CXmlProfile store(profile_.string());
        store.WriteString("TRELVO40", "Long", std::string(300, 'x'));
        Watch();
        std::string reason;
        EXPECT_FALSE(store.Save(reason));
        platform::posix::ResetSyscalls();
    }
    const std::vector<std::string> written = {"lock profile", "open profile in place", "create journal, 0600, exclusively",
                                              "write journal", "fsync journal", "move journal beside, never over a file", "fsync folder",
                                              "write profile", "write profile", "write profile", "unlock, removing the lock file"};
    EXPECT_EQ(watch::trace, written);
    const std::string torn = testsupport::ReadFile(profile_);
    ASSERT_NE(torn, old);
    EXPECT_FALSE(platform::MapXml(torn, nullptr, *std::make_unique<platform::XmlMap>()) == 0) << "cut off";
    const fs::path journal = dir_ / ".profile.xml.trelvo-journal";
    ASSERT_TRUE(fs::exists(journal));
    EXPECT_EQ(fs::status(journal).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    const std::string name = PlugSetProName(profile_.c_str());
    EXPECT_EQ(testsupport::ReadFile(profile_), old) << "put back";
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_EQ(testsupport::State().settings.IoMode, 1) << "read from the old text";
    Init();
    const std::string report = "TRELVO-40/41 profile " + profile_.string() + " was left cut short by an interrupted save";
    EXPECT_EQ(std::string(state_.statusText).rfind(Shortened(report), 0), 0u) << state_.statusText;
    const auto messages = Messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
        return m.rfind("WARNING: " + report, 0) == 0;
    })) << LogText();

    // A journal of ours decides by the file's bytes alone: what the write between its two texts can
    // leave is put back, either text whole lets it go, anything else sets it aside, whatever the inode.
    const auto journalOf = [&](const std::string& was, const std::string& fresh, bool corrupt) {
        const auto hex = [](const std::string& bytes) {
            uint64_t sum = 0xcbf29ce484222325ull;
            for (const char c : bytes) sum = (sum ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
            char text[17];
            std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(sum));
            return std::string(text);
        };
        std::string body = was + fresh;
        if (corrupt) body[body.size() / 2] ^= 1;  // the right length, a wrong byte
        return "TRELVO-40 profile journal 2\n" + profile_.string() + "\n1 2 " + std::to_string(was.size()) + "\n" +
               std::to_string(was.size()) + " " + hex(was) + " " + std::to_string(fresh.size()) + " " + hex(fresh) + "\n" + body;
    };
    const std::string fresh = testsupport::ProfileWithSettings({{"DebugLogFile", log_.string()}, {"DebugLogLevel", "2"},
                                                                {"ExpandedMode", "0"}, {"Long", std::string(300, 'x')}});
    ASSERT_GT(fresh.size(), old.size());
    const std::string planted = "<profile><Planted/></profile>";
    const std::string cut = old.substr(0, old.size() / 2);
    const size_t differ = static_cast<size_t>(std::mismatch(old.begin(), old.end(), fresh.begin()).first - old.begin()) + 1;
    const std::string mixed = fresh.substr(0, differ) + old.substr(differ);  // neither text
    const std::string other = "<profile><Other/></profile>";
    const std::string mine = journalOf(old, fresh, false);
    const fs::path aside = journal.string() + ".stale";
    const std::string cutShort = "TRELVO-40/41 profile " + profile_.string() + " is cut short, and " + journal.string() + " was not used";
    const std::string notFor = "TRELVO-40/41 profile " + profile_.string() + " is not the file " + journal.string() + " was written for";
    const std::string putBack = "TRELVO-40/41 profile " + profile_.string() + " was left cut short by an interrupted save; put back";
    const struct {
        const char* name;
        std::string profile;  // at the load
        std::string text;     // the journal's
        mode_t mode;
        uid_t owner;          // 0: this user
        std::string after;    // the profile afterwards
        bool journalStays;
        std::string report;   // the status after the load starts with it; empty: nothing about the profile
        std::function<void()> arrange = nullptr;
        fs::path asideAs = {};  // where the journal is set aside
    } journals[] = {
        {"ours, the old text whole (the write never began): goes", old, mine, 0600, 0, old, false, ""},
        {"ours, the new text whole (the save ended before it went): goes, the new text kept", fresh, mine, 0600, 0, fresh, false, ""},
        {"cut short inside the old text's length: put back", mixed, mine, 0600, 0, old, false, putBack},
        {"cut short past the old text's end: put back", fresh.substr(0, old.size() + 7), mine, 0600, 0, old, false, putBack},
        {"longer than the old text, not the new one's start: set aside", old + "<!-- the user's -->", mine, 0600, 0,
         old + "<!-- the user's -->", false, notFor, nullptr, aside},
        {"another, well-formed file at the name: set aside, the file as it is", planted, mine, 0600, 0, planted, false, notFor,
         nullptr, aside},
        {"another, unfinished file at the name, same inode: set aside, never applied", std::string(5000, '<'), mine, 0600, 0,
         std::string(5000, '<'), false, notFor, nullptr, aside},
        {"a journal set aside before: this one takes a name of its own", planted, mine, 0600, 0, planted, false, notFor,
         [&] { testsupport::WriteFile(aside, "set aside before"); }, journal.string() + ".1.stale"},
        {"right length, a corrupt byte: set aside", cut, journalOf(old, fresh, true), 0600, 0, cut, false, notFor, nullptr, aside},
        {"the user's notes of a journal's name: stay", old, "stale", 0600, 0, old, true, ""},
        {"ours but open to others: stays", old, mine, 0644, 0, old, true, ""},
        {"planted by another user, header and checksums right: not used", cut, mine, 0600, 65534, cut, true, cutShort},
        {"planted, open to others: not used", cut, mine, 0666, 0, cut, true, cutShort},
        {"a link at the journal's name to a whole journal of ours: not used", cut, mine, 0600, 0, cut, true, cutShort,
         [&] {
             testsupport::WriteFile(dir_ / "elsewhere", mine);
             chmod((dir_ / "elsewhere").c_str(), 0600);
             fs::remove(journal);
             fs::create_symlink("elsewhere", journal);
         }},
        {"another program writes the file just before the repair opens it: its text stays", mixed, mine, 0600, 0, other, true,
         "TRELVO-40/41 profile " + profile_.string() + " was left cut short by an interrupted save and could not be put back",
         [&] {
             watch::real = platform::posix::syscalls();
             platform::posix::syscalls().open = [](const char* path, int flags, mode_t mode) {
                 if (path == watch::profile && (flags & O_ACCMODE) == O_RDWR) {
                     platform::posix::syscalls().open = watch::real.open;
                     testsupport::WriteFile(path, "<profile><Other/></profile>");
                 }
                 return watch::real.open(path, flags, mode);
             };
         }},
    };
    const fs::path logProfile = dir_ / "log-profile.xml";
    testsupport::WriteFile(logProfile, testsupport::ProfileWithSettings({{"DebugLogFile", log_.string()}, {"DebugLogLevel", "2"}}));
    for (const auto& j : journals) {
        SCOPED_TRACE(j.name);
        if (j.owner != 0 && geteuid() != 0) continue;  // only root can give a file to another user
        for (const char* name : {"elsewhere", ".profile.xml.trelvo-journal.stale", ".profile.xml.trelvo-journal.1.stale"}) {
            fs::remove(dir_ / name);
        }
        testsupport::WriteFile(profile_, j.profile);
        testsupport::WriteFile(journal, j.text);
        chmod(journal.c_str(), j.mode);
        if (j.owner != 0) {
            EXPECT_EQ(chown(journal.c_str(), j.owner, j.owner), 0);
        }
        ResetPluginState();
        state_ = HostStateBlock{};
        PlugSetProName(logProfile.c_str());  // the log, open whatever the profile holds
        if (j.arrange) j.arrange();
        PlugSetProName(profile_.c_str());
        platform::posix::ResetSyscalls();
        EXPECT_EQ(fs::exists(fs::symlink_status(journal)), j.journalStays);
        EXPECT_TRUE(testsupport::ReadFile(profile_) == j.after) << testsupport::ReadFile(profile_).substr(0, 200);
        if (!j.asideAs.empty()) {
            EXPECT_TRUE(fs::exists(j.asideAs) && testsupport::ReadFile(j.asideAs) == j.text) << "set aside whole, not removed";
            EXPECT_TRUE(j.asideAs == aside || testsupport::ReadFile(aside) == "set aside before") << "never over another";
        }
        Init();
        const std::string status = state_.statusText;
        if (j.report.empty()) {
            EXPECT_EQ(status.find("TRELVO-40/41"), std::string::npos) << status;
        } else {
            EXPECT_EQ(status.rfind(Shortened(j.report), 0), 0u) << status;
            EXPECT_NE(LogText().find(j.report), std::string::npos) << LogText();
        }
        fs::remove(journal);
    }
}

// The state folder (journals, the lock) is used only when no other user can change it or a folder
// above it: from the home down, or from / when it lies outside the home. Ownership by another user is
// what lstat reports through the call table.
namespace stranger {
Syscalls real;
std::string path;  // the folder lstat reports as another user's
int Lstat(const char* p, struct stat* st) {
    const int result = real.lstat(p, st);
    if (result == 0 && p == path) st->st_uid = kOwner;
    return result;
}
}  // namespace stranger

TEST_F(PosixSaveTest, TheStateFolderIsUsedOnlyWhenNoOtherUserCanChangeIt) {
    const fs::path local = Home() / ".local";
    const fs::path state = local / "state";
    const fs::path mine = state / "trelvo";
    const fs::path outside = dir_ / "outside";
    // The lowest folder above the test's own that others may write (the temporary folder, as a rule).
    const fs::path open = [&] {
        const fs::perms others = fs::perms::group_write | fs::perms::others_write;
        fs::path at = fs::canonical(dir_).parent_path();
        while (at != at.root_path() && (fs::status(at).permissions() & others) == fs::perms::none) at = at.parent_path();
        return at;
    }();
    const struct {
        const char* name;
        std::function<void()> arrange;
        int error;
        fs::path folder;  // the folder given back, or the one at fault
        bool create = true;
    } cases[] = {
        {"made where missing, 0700", [] {}, 0, mine},
        {"the user's own, 0755: made 0700", [&] { fs::create_directories(mine); chmod(mine.c_str(), 0755); }, 0, mine},
        {"missing, only looked for", [] {}, ENOENT, mine, false},
        {"a folder above it writable by its group", [&] { fs::create_directories(state); chmod(local.c_str(), 0775); },
         platform::FILEIO_UNSAFE_FOLDER, local},
        {"the home writable by others", [&] { chmod(Home().c_str(), 0777); }, platform::FILEIO_UNSAFE_FOLDER, Home()},
        {"a folder above it another user's", [&] { fs::create_directories(mine); stranger::path = state.string(); },
         platform::FILEIO_UNSAFE_FOLDER, state},
        {"the state folder another user's", [&] { fs::create_directories(mine); stranger::path = mine.string(); },
         platform::FILEIO_UNSAFE_FOLDER, mine},
        {"a file at its name", [&] { fs::create_directories(state); testsupport::WriteFile(mine, "notes"); }, ENOTDIR, mine},
        {"$XDG_STATE_HOME inside the home", [&] { setenv("XDG_STATE_HOME", (Home() / "st").c_str(), 1); }, 0, Home() / "st" / "trelvo"},
        // Outside the home every folder from / counts: the temporary folder is open to everyone.
        {"$XDG_STATE_HOME outside the home, below the world-writable temporary folder",
         [&] { setenv("XDG_STATE_HOME", outside.c_str(), 1); }, platform::FILEIO_UNSAFE_FOLDER, open},
        {"~/.local a link to a folder outside the home", [&] {
             fs::create_directories(outside / "state");
             fs::create_directory_symlink(outside, local);
         },
         platform::FILEIO_UNSAFE_FOLDER, open},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(Home());
        unsetenv("XDG_STATE_HOME");
        stranger::path.clear();
        c.arrange();
        stranger::real = platform::posix::syscalls();
        platform::posix::syscalls().lstat = stranger::Lstat;
        std::string folder;
        EXPECT_EQ(platform::fileIo().journalFolder(folder, c.create), c.error) << platform::FileErrorText(c.error);
        platform::posix::ResetSyscalls();
        EXPECT_EQ(fs::path(folder), fs::weakly_canonical(c.folder));
        if (c.error == 0) {
            EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
        }
        chmod(Home().c_str(), 0755);
    }
    unsetenv("XDG_STATE_HOME");
}

}  // namespace

// Another program writes the profile just before each system call of a save in turn, in place or by
// renaming its own file over it, on both save paths.
namespace interleave {
Syscalls real;
std::string profile;
int at = -1;  // the call before which the other program writes; -1: never
int calls = 0;
bool byRename = false;
std::vector<std::string> names;  // the calls of the save, in order
constexpr char kMark[] = "<B>host-change</B>";

void Other() {
    std::string text = testsupport::ReadFile(profile);
    const size_t end = text.rfind("</profile>");
    text = end == std::string::npos ? std::string("<profile>") + kMark + "</profile>" : text.insert(end, kMark);
    if (byRename) {
        testsupport::WriteFile(profile + ".other", text);
        ::rename((profile + ".other").c_str(), profile.c_str());
    } else {
        testsupport::WriteFile(profile, text);
    }
}

// The profile's own descriptor: what a write to it changes.
bool IsProfile(int fd) {
    struct stat mine {}, named {};
    return real.fstat(fd, &mine) == 0 && ::stat(profile.c_str(), &named) == 0 && mine.st_ino == named.st_ino;
}

void Before(const std::string& name) {
    names.push_back(name);
    if (calls++ == at) Other();
}

void Install() {
    auto& sys = platform::posix::syscalls();
    real = sys;
    sys.open = [](const char* p, int f, mode_t m) { Before("open"); return real.open(p, f, m); };
    sys.close = [](int fd) { Before("close"); return real.close(fd); };
    sys.read = [](int fd, void* d, size_t n) { Before("read"); return real.read(fd, d, n); };
    sys.write = [](int fd, const void* d, size_t n) { Before(IsProfile(fd) ? "write profile" : "write"); return real.write(fd, d, n); };
    sys.pread = [](int fd, void* d, size_t n, off_t o) { Before("pread"); return real.pread(fd, d, n, o); };
    sys.fsync = [](int fd) { Before("fsync"); return real.fsync(fd); };
    sys.fchmod = [](int fd, mode_t m) { Before("fchmod"); return real.fchmod(fd, m); };
    sys.fchown = [](int fd, uid_t u, gid_t g) { Before("fchown"); return real.fchown(fd, u, g); };
    sys.ftruncate = [](int fd, off_t n) { Before("ftruncate"); return real.ftruncate(fd, n); };
    sys.fstat = [](int fd, struct stat* st) { Before("fstat"); return real.fstat(fd, st); };
    sys.stat = [](const char* p, struct stat* st) { Before("stat"); return real.stat(p, st); };
    sys.lstat = [](const char* p, struct stat* st) { Before("lstat"); return real.lstat(p, st); };
    sys.faccessat = [](int d, const char* p, int m, int f) { Before("faccessat"); return real.faccessat(d, p, m, f); };
    sys.rename = [](const char* from, const char* to) { Before(to == profile ? "rename over profile" : "rename"); return real.rename(from, to); };
    sys.unlink = [](const char* p) { Before("unlink"); return real.unlink(p); };
    sys.setLock = [](int fd, struct flock* l) { Before("lock"); return real.setLock(fd, l); };
    sys.mkdir = [](const char* p, mode_t m) { Before("mkdir"); return real.mkdir(p, m); };
}
}  // namespace interleave

// After each, the other program's change is in the file, or the save failed and said so; and the
// file is one well-formed document. Only between the last comparison and the rename or the first
// write may the other program's change be lost: neither can be made conditional.
TEST_F(PosixSaveTest, AnotherWriterBeforeEverySystemCallOfASave) {
    const std::string old = "<profile><Host>the host's settings</Host><TRELVO40><K>123456</K></TRELVO40></profile>";
    int tried = 0, held = 0, lostInWindow = 0;
    std::string lost;
    for (const bool inPlace : {false, true}) {
        for (const bool byRename : {false, true}) {
            SCOPED_TRACE(std::string(inPlace ? "in place" : "by rename") + ", the other program " +
                         (byRename ? "renames its file over it" : "writes in place"));
            // A save undisturbed: how many calls, and where the window lies.
            size_t window = 0, change = 0;
            for (int at = -1;; ++at) {
                fs::remove_all(dir_);
                fs::create_directories(Home());
                testsupport::WriteFile(profile_, old);
                if (inPlace) fs::create_hard_link(profile_, dir_ / "alias.xml");
                interleave::profile = profile_.string();
                interleave::byRename = byRename;
                interleave::at = at;
                interleave::calls = 0;
                interleave::names.clear();
                auto store = std::make_unique<CXmlProfile>(profile_.string());
                store->WriteInt("TRELVO40", "K", 1);
                interleave::Install();
                std::string reason;
                const bool saved = store->Save(reason);
                platform::posix::ResetSyscalls();
                const std::string after = testsupport::ReadFile(profile_);
                if (at < 0) {
                    ASSERT_TRUE(saved) << reason;
                    change = std::find_if(interleave::names.begin(), interleave::names.end(), [](const std::string& n) {
                                 return n == "rename over profile" || n == "write profile";
                             }) - interleave::names.begin();
                    ASSERT_LT(change, interleave::names.size());
                    window = change;
                    while (window > 0 && interleave::names[window - 1] != "stat") --window;
                    continue;
                }
                if (at >= interleave::calls) break;  // the writer never ran: every call has been tried
                ++tried;
                const bool whole = platform::MapXml(after, nullptr, *std::make_unique<platform::XmlMap>()) == 0;
                const bool kept = after.find(interleave::kMark) != std::string::npos;
                if (whole && (kept || (!saved && !reason.empty()))) {
                    ++held;
                } else {
                    EXPECT_TRUE(static_cast<size_t>(at) >= window && static_cast<size_t>(at) <= change)
                        << "lost before call " << at << " (" << interleave::names[static_cast<size_t>(at)] << "), outside the window "
                        << window << ".." << change << (saved ? "" : ": " + reason);
                    ++lostInWindow;
                    lost += std::string(inPlace ? " in place" : " by rename") + (byRename ? "/their rename" : "/their write") +
                            " before " + interleave::names[static_cast<size_t>(at)] + ";";
                }
            }
        }
    }
    std::printf("another writer before each system call of a save: %d interleavings tried, %d held, %d lost inside the window "
                "between the last comparison and the rename or write:%s\n",
                tried, held, lostInWindow, lost.c_str());
    EXPECT_GT(tried, 100);
}

// The POSIX file layer's save under its system calls: the order and flags of what reaches the disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/posix/syscalls.h"
#include "profile/profile_file.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::posix::Syscalls;

// What the calls did, in order, as the disk would tell it: whether a new file was created
// exclusively, what it held when it was flushed, and what was renamed over the profile.
namespace watch {
Syscalls real;
std::string profile;
std::string expected;      // the bytes of the save
mode_t oldMode = 0;
std::vector<std::string> trace;
int tempFd = -1;
int profileFd = -1;
int folderFd = -1;
bool plant = false;        // another's file at the first temporary name
bool failRename = false;
bool denyFile = false;     // faccessat says no, as for root's 0644 file and an unprivileged user
bool denyFolder = false;

bool IsTemp(const char* path) { return std::string(path).rfind(profile + ".trelvo-", 0) == 0; }

int Open(const char* path, int flags, mode_t mode) {
    if (IsTemp(path) && plant) {
        plant = false;
        testsupport::WriteFile(path, "another's");
    }
    const int fd = real.open(path, flags, mode);
    if (IsTemp(path)) {
        trace.push_back((flags & O_EXCL) ? "create temp exclusively" : "create temp");
        if (fd >= 0) tempFd = fd;
    } else if (path == profile && (flags & O_ACCMODE) != O_RDONLY) {
        trace.push_back((flags & (O_TRUNC | O_CREAT)) ? "open profile to replace" : "open profile in place");
        profileFd = fd;
    } else if (fs::path(profile).parent_path() == path) {
        folderFd = fd;
        tempFd = -1;  // closed by now; its number may come again
    }
    return fd;
}
ssize_t Write(int fd, const void* data, size_t size) {
    if (fd == profileFd) trace.push_back("write profile");
    return real.write(fd, data, size);
}
int Fsync(int fd) {
    struct stat st {};
    real.fstat(fd, &st);
    if (fd == tempFd) {
        const bool like = (st.st_mode & 07777) == oldMode && static_cast<size_t>(st.st_size) == expected.size();
        trace.push_back(like ? "fsync temp, old mode, all bytes" : "fsync temp, mode or bytes amiss");
    } else if (fd == profileFd) {
        trace.push_back("fsync profile");
    } else if (fd == folderFd) {
        trace.push_back("fsync folder");
    }
    return real.fsync(fd);
}
int Ftruncate(int fd, off_t length) {
    if (fd == profileFd) {
        trace.push_back(static_cast<size_t>(length) == expected.size() ? "truncate profile to the new length" : "truncate profile");
    }
    return real.ftruncate(fd, length);
}
int Faccessat(int dirfd, const char* path, int mode, int flags) {
    const bool folder = fs::path(profile).parent_path() == path;
    if ((denyFile && path == profile) || (denyFolder && folder)) {
        errno = EACCES;
        return -1;
    }
    return real.faccessat(dirfd, path, mode, flags);
}
int Rename(const char* from, const char* to) {
    trace.push_back(IsTemp(from) && to == profile ? "rename temp over profile" : "rename");
    if (failRename) {
        errno = EXDEV;
        return -1;
    }
    return real.rename(from, to);
}
}  // namespace watch

class PosixSaveTest : public testsupport::PluginTest {};

TEST_F(PosixSaveTest, WhatReachesTheDiskAndInWhichOrder) {
    const std::vector<std::string> replaced = {"create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile",
                                               "fsync folder"};
    const std::vector<std::string> inPlace = {"open profile in place", "write profile", "fsync profile",
                                              "truncate profile to the new length", "fsync profile"};
    const std::string old = "<profile><Host>the host's settings, longer than the new ones</Host></profile>";
    const struct {
        const char* name;
        mode_t mode;
        void (*arrange)(const fs::path& dir);
        int error;
        std::vector<std::string> trace;
        bool saved;
    } cases[] = {
        {"mode 0644", 0644, nullptr, 0, replaced, true},
        {"mode 0640", 0640, nullptr, 0, replaced, true},
        {"another's file at the first temporary name", 0644, [](const fs::path&) { watch::plant = true; }, 0,
         {"create temp exclusively", "create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile",
          "fsync folder"},
         true},
        {"rename refused", 0644, [](const fs::path&) { watch::failRename = true; }, EXDEV,
         {"create temp exclusively", "fsync temp, old mode, all bytes", "rename temp over profile"}, false},
        {"root's 0644 file, this process may not write it", 0644, [](const fs::path&) { watch::denyFile = true; },
         platform::FILEIO_READ_ONLY, {}, false},
        {"folder not writable", 0644, [](const fs::path&) { watch::denyFolder = true; }, 0, inPlace, true},
        {"a second hard link", 0640, [](const fs::path& dir) { fs::create_hard_link(dir / "profile.xml", dir / "alias.xml"); },
         0, inPlace, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        testsupport::WriteFile(profile_, old);
        chmod(profile_.c_str(), c.mode);
        watch::real = platform::posix::syscalls();
        watch::profile = profile_.string();
        watch::expected = "<profile><New/></profile>";
        watch::oldMode = c.mode;
        watch::trace.clear();
        watch::tempFd = watch::profileFd = watch::folderFd = -1;
        watch::plant = watch::failRename = watch::denyFile = watch::denyFolder = false;
        if (c.arrange) c.arrange(dir_);
        auto& sys = platform::posix::syscalls();
        sys.open = watch::Open;
        sys.write = watch::Write;
        sys.fsync = watch::Fsync;
        sys.ftruncate = watch::Ftruncate;
        sys.faccessat = watch::Faccessat;
        sys.rename = watch::Rename;

        EXPECT_EQ(ReplaceProfileFile(profile_.string(), watch::expected), c.error);
        platform::posix::ResetSyscalls();

        EXPECT_EQ(watch::trace, c.trace);
        EXPECT_EQ(testsupport::ReadFile(profile_), c.saved ? watch::expected : old);
        EXPECT_EQ(fs::status(profile_).permissions(), static_cast<fs::perms>(c.mode));
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name == "alias.xml") {
                EXPECT_EQ(testsupport::ReadFile(entry.path()), watch::expected) << "the other link holds the new profile";
            } else if (name.find(".trelvo-") != std::string::npos) {
                EXPECT_EQ(testsupport::ReadFile(entry.path()), "another's") << "only the other's file stays";
            } else {
                EXPECT_EQ(name, "profile.xml");
            }
        }
    }
}

}  // namespace

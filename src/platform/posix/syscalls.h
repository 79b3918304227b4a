// The system calls of the POSIX file layer, in one table that a test may replace to watch or fail them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace platform::posix {

struct Syscalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* data, size_t size);
    ssize_t (*write)(int fd, const void* data, size_t size);
    ssize_t (*pread)(int fd, void* data, size_t size, off_t offset);
    int (*fsync)(int fd);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* st);
    int (*stat)(const char* path, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    int (*faccessat)(int dirfd, const char* path, int mode, int flags);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*renameNoReplace)(const char* from, const char* to);  // renameat2(RENAME_NOREPLACE), else link and unlink
    int (*setLock)(int fd, struct flock* lock);  // fcntl(F_OFD_SETLK)
    int (*mkdir)(const char* path, mode_t mode);
};

// The table in force; ResetSyscalls puts the system's own calls back.
Syscalls& syscalls() noexcept;
void ResetSyscalls() noexcept;

}  // namespace platform::posix

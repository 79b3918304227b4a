// POSIX file layer: descriptors checked with fstat, exclusive temporary files, fsync and rename(2),
// every system call through the table a test may replace.
#include "platform/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/posix/link_rule.h"
#include "platform/posix/syscalls.h"

namespace platform {
namespace posix {
namespace {

constexpr Syscalls kSystem{
    [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    [](int fd) { return ::close(fd); },
    [](int fd, void* data, size_t size) { return ::read(fd, data, size); },
    [](int fd, const void* data, size_t size) { return ::write(fd, data, size); },
    [](int fd, void* data, size_t size, off_t offset) { return ::pread(fd, data, size, offset); },
    [](int fd) { return ::fsync(fd); },
    [](int fd, mode_t mode) { return ::fchmod(fd, mode); },
    [](int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); },
    [](int fd, off_t length) { return ::ftruncate(fd, length); },
    [](int fd, struct stat* st) { return ::fstat(fd, st); },
    [](const char* path, struct stat* st) { return ::stat(path, st); },
    [](const char* path, struct stat* st) { return ::lstat(path, st); },
    [](int dirfd, const char* path, int mode, int flags) { return ::faccessat(dirfd, path, mode, flags); },
    [](const char* from, const char* to) { return ::rename(from, to); },
    [](const char* path) { return ::unlink(path); },
    [](const char* from, const char* to) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
        // A file system without it: a hard link is made only under a free name too.
        if (errno != EINVAL && errno != ENOSYS) return -1;
        if (::link(from, to) != 0) return -1;
        return ::unlink(from);
    },
    [](int fd, struct flock* lock) { return ::fcntl(fd, F_OFD_SETLK, lock); },
    [](const char* path, mode_t mode) { return ::mkdir(path, mode); },
};
Syscalls g_sys = kSystem;

}  // namespace

Syscalls& syscalls() noexcept { return g_sys; }
void ResetSyscalls() noexcept { g_sys = kSystem; }

}  // namespace posix

namespace {

constexpr int kMaxLinks = 40;        // as the kernel allows in one path walk
constexpr time_t kLeftoverAge = 60;  // seconds: no save of ours takes that long
constexpr char kAclName[] = "system.posix_acl_access";
constexpr int kLockWaitMs = 2000;    // longer than any save of ours holds it
thread_local int t_writeError = 0;   // why the last short fwrite of a temporary copy stopped

posix::Syscalls& Sys() { return posix::syscalls(); }

int Error() { return errno != 0 ? errno : EIO; }

// Opens without blocking, so a FIFO cannot stop the host, and keeps only regular files.
int OpenRegular(const char* path, int flags, mode_t mode, int& fd) {
    fd = Sys().open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) return Error();
    struct stat st {};
    if (Sys().fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISREG(st.st_mode) ? Error() : FILEIO_NOT_REGULAR;
        Sys().close(fd);
        return error;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return 0;
}

// Device and inode decide, so a link of either kind to the profile is the profile.
bool IsFile(int fd, const char* other) {
    struct stat mine {}, theirs {};
    return other != nullptr && *other != '\0' && Sys().fstat(fd, &mine) == 0 && Sys().stat(other, &theirs) == 0 &&
           mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

int OpenLog(const char* path, const char* profile, bool (*isLog)(const char*, size_t), void** file) {
    *file = nullptr;
    std::string target;
    if (const int error = FollowLinks(path, target)) return error;
    int fd = -1;
    // A link put at the name since FollowLinks looked is not followed.
    if (const int error = OpenRegular(target.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0666, fd)) {
        return error == ELOOP ? FILEIO_FOREIGN_LINK : error;
    }
    char start[kLogStartSize];
    ssize_t n = -1;
    while ((n = Sys().pread(fd, start, sizeof start, 0)) < 0 && errno == EINTR) {}
    int error = n < 0 ? Error() : 0;
    if (error == 0 && IsFile(fd, profile)) error = FILEIO_IS_PROFILE;
    if (error == 0 && n > 0 && (isLog == nullptr || !isLog(start, static_cast<size_t>(n)))) error = FILEIO_NOT_A_LOG;
    FILE* stream = nullptr;
    if (error == 0) {
        stream = Sys().ftruncate(fd, 0) == 0 ? ::fdopen(fd, "w") : nullptr;
        if (stream == nullptr) error = Error();
    }
    if (error != 0) {
        Sys().close(fd);
        return error;
    }
    *file = stream;
    return 0;
}

// A signal that cuts a write short is no failure: the rest is written.
size_t Write(void* file, const void* data, size_t size) {
    FILE* stream = static_cast<FILE*>(file);
    size_t done = 0;
    while (done < size) {
        errno = 0;
        done += std::fwrite(static_cast<const char*>(data) + done, 1, size - done, stream);
        if (done == size) break;
        t_writeError = Error();
        if (errno != EINTR) break;
        std::clearerr(stream);
    }
    return done;
}
int Close(void* file) { return std::fclose(static_cast<FILE*>(file)) == 0 ? 0 : Error(); }

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity id;
    id.exists = true;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    id.size = static_cast<uint64_t>(st.st_size);
    id.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

// The whole content through the handle, from its start, whatever its offset.
int ReadAll(int fd, size_t limit, std::string& bytes) {
    bytes.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = Sys().pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error();
        if (n == 0) return 0;
        if (bytes.size() + static_cast<size_t>(n) > limit) return FILEIO_TOO_LARGE;  // it may have grown since any size check
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

// The file's state before and after the read must agree, or the bytes may be half another writer's.
int ReadIdentified(const char* path, size_t limit, std::string& bytes, FileIdentity& identity) {
    bytes.clear();
    identity = FileIdentity{};
    int fd = -1;
    if (const int error = OpenRegular(path, O_RDONLY, 0, fd)) return error;
    int error = FILEIO_KEPT_CHANGING;
    for (int attempt = 0; attempt < 3 && error == FILEIO_KEPT_CHANGING; ++attempt) {
        struct stat before {}, after {};
        if (Sys().fstat(fd, &before) != 0) {
            error = Error();
            break;
        }
        error = ReadAll(fd, limit, bytes);
        if (error == 0 && Sys().fstat(fd, &after) != 0) error = Error();
        if (error == 0 && !(IdentityOf(before) == IdentityOf(after))) error = FILEIO_KEPT_CHANGING;
        if (error == 0) identity = IdentityOf(after);
    }
    Sys().close(fd);
    if (error != 0) bytes.clear();
    return error;
}

int Read(const char* path, size_t limit, std::string& bytes) {
    FileIdentity ignored;
    return ReadIdentified(path, limit, bytes, ignored);
}

int Identify(const char* path, FileIdentity& identity) {
    identity = FileIdentity{};
    struct stat st {};
    if (Sys().stat(path, &st) != 0) return errno == ENOENT ? 0 : Error();
    identity = IdentityOf(st);
    return 0;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

int Resolve(const char* path, std::string& target) {
    target = path;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (Sys().lstat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : Error();
        if (!S_ISLNK(st.st_mode)) return 0;
        if (links == kMaxLinks) return ELOOP;
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0) return Error();
        if (static_cast<size_t>(n) >= link.size()) return ENAMETOOLONG;  // changed while we looked
        link.resize(static_cast<size_t>(n));
        target = link[0] == '/' ? link : Folder(target) + "/" + link;
    }
}

// Access as the kernel grants it to this process (effective ids, ACLs, read-only mounts). An answer
// other than "denied" lets the operation itself decide.
bool Allowed(const std::string& path, int mode) {
    if (Sys().faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0) return true;
    return errno != EACCES && errno != EPERM && errno != EROFS;
}

// The user's attributes and the access ACL; the security and trusted namespaces belong to the
// system's policy, which labels a new file itself.
bool Carried(const char* name) {
    return std::strncmp(name, "security.", 9) != 0 && std::strncmp(name, "trusted.", 8) != 0;
}

int ReadExtended(const char* path, std::vector<std::pair<std::string, std::string>>& extended) {
    const ssize_t size = ::listxattr(path, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : Error();
    std::string names(static_cast<size_t>(size), '\0');
    const ssize_t n = ::listxattr(path, names.data(), names.size());
    if (n < 0) return Error();
    for (size_t at = 0; at < static_cast<size_t>(n); at = names.find('\0', at) + 1) {
        const char* name = names.c_str() + at;
        if (!Carried(name)) continue;
        const ssize_t length = ::getxattr(path, name, nullptr, 0);
        if (length < 0) return Error();
        std::string value(static_cast<size_t>(length), '\0');
        const ssize_t got = ::getxattr(path, name, value.data(), value.size());
        if (got < 0) return Error();
        value.resize(static_cast<size_t>(got));
        extended.emplace_back(name, std::move(value));
    }
    return 0;
}

int Inspect(const char* path, FileFacts& facts) {
    facts = FileFacts{};
    struct stat st {};
    if (Sys().stat(path, &st) != 0) return errno == ENOENT ? 0 : Error();
    if (!S_ISREG(st.st_mode)) return FILEIO_NOT_REGULAR;
    facts.exists = true;
    facts.mode = st.st_mode & 07777;
    facts.links = static_cast<uint32_t>(st.st_nlink);
    // No write bit for anyone is the user's "read-only", even for root, who may write anything.
    facts.readOnly = (st.st_mode & 0222) == 0 || !Allowed(path, W_OK);
    facts.folderWritable = Allowed(Folder(path), W_OK | X_OK);
    facts.owner = st.st_uid;
    facts.group = st.st_gid;
    facts.ownerKeepable = ::geteuid() == 0 || ::geteuid() == st.st_uid;
    facts.mine = ::geteuid() == st.st_uid;
    // Append-only or immutable (chattr +a, +i): no save may replace or rewrite it, root's neither.
    const int fd = Sys().open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
        facts.readOnly = true;
    }
    if (fd >= 0) Sys().close(fd);
    return ReadExtended(path, facts.extended);
}

// Only the very file this process made, still under that name: never another's put in its place.
int Remove(const char* path, const FileIdentity& own) {
    struct stat st {};
    if (Sys().lstat(path, &st) != 0) return Error();
    // Not the owner: a copy may have been given the profile's owner by then.
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_dev) != own.device || static_cast<uint64_t>(st.st_ino) != own.index) {
        return FILEIO_NOT_OURS;
    }
    return Sys().unlink(path) == 0 ? 0 : Error();
}

int RenameFree(const char* from, const char* to) {
    if (Sys().renameNoReplace(from, to) == 0) return 0;
    return errno == EEXIST ? FILEIO_NAME_TAKEN : Error();
}

// Unique to this save: another save, in this process or another, picks another name.
std::string TempName(const char* target) {
    unsigned char random[kSaveTempLetters] = {};
    if (::getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        static unsigned counter = 0;
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32) ^ ++counter;
        for (unsigned char& r : random) {
            x = (x ^ (x >> 31)) * 0x9E3779B97F4A7C15ull;
            r = static_cast<unsigned char>(x >> 56);
        }
    }
    return Folder(target) + "/" + SaveTempName(target, random);
}

// What the descriptor names, the file this process made.
int Created(int fd, FileIdentity& created) {
    struct stat st {};
    if (Sys().fstat(fd, &st) != 0) return Error();
    created = IdentityOf(st);
    return 0;
}

int CreateTemp(const char* target, std::string& tempPath, FileIdentity& created, void** file) {
    *file = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TempName(target);
        const int fd = Sys().open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return Error();
        FILE* stream = Created(fd, created) == 0 ? ::fdopen(fd, "wb") : nullptr;
        // Unbuffered: each write reaches the system at once, so a failed one says why and how far.
        if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
        if (stream == nullptr) {
            const int error = Error();
            Sys().close(fd);
            Remove(tempPath.c_str(), created);
            return error;
        }
        *file = stream;
        return 0;
    }
    return EEXIST;
}

// A signal during the flush is no failure either.
int Flush(int fd) {
    for (;;) {
        if (Sys().fsync(fd) == 0) return 0;
        if (errno != EINTR) return Error();
    }
}

// The attribute names the new file has that the old one lacks: a default ACL of the folder, for one.
std::vector<std::string> ExtraAttributes(int fd, const std::vector<std::pair<std::string, std::string>>& keep) {
    std::vector<std::string> extra;
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0) return extra;
    std::string names(static_cast<size_t>(size), '\0');
    const ssize_t n = ::flistxattr(fd, names.data(), names.size());
    for (size_t at = 0; n > 0 && at < static_cast<size_t>(n); at = names.find('\0', at) + 1) {
        const std::string name = names.c_str() + at;
        bool kept = !Carried(name.c_str());
        for (const auto& attribute : keep) kept = kept || attribute.first == name;
        if (!kept) extra.push_back(name);
    }
    return extra;
}

// Owner, group, mode, attributes and ACL exactly as the old file's, or FILEIO_NOT_KEPT: a file that
// came out otherwise must not take the old one's place.
int Commit(void* file, const FileFacts& like) {
    FILE* stream = static_cast<FILE*>(file);
    const int fd = ::fileno(stream);
    int error = std::fflush(stream) == 0 ? 0 : Error();
    if (error == 0 && std::ferror(stream)) error = t_writeError != 0 ? t_writeError : EIO;
    t_writeError = 0;
    bool kept = true;
    if (error == 0) {
        mode_t mode = static_cast<mode_t>(like.mode);
        struct stat st {};
        if (!like.exists) {
            // What creating the file directly would have given it.
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        } else if (Sys().fstat(fd, &st) != 0) {
            error = Error();
        } else if (st.st_uid != like.owner || st.st_gid != like.group) {
            kept = Sys().fchown(fd, st.st_uid == like.owner ? static_cast<uid_t>(-1) : like.owner,
                                st.st_gid == like.group ? static_cast<gid_t>(-1) : like.group) == 0;
        }
        if (like.exists && kept && error == 0) {
            for (const std::string& name : ExtraAttributes(fd, like.extended)) {
                if (::fremovexattr(fd, name.c_str()) != 0) kept = false;
            }
        }
        // After fchown, which may clear the set-id bits; the ACL after the mode, whose group bits it sets.
        if (error == 0 && kept && Sys().fchmod(fd, mode) != 0) error = Error();
        for (const auto& [name, value] : like.extended) {
            if (error == 0 && kept && ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
                if (errno == EPERM || errno == ENOTSUP || errno == EACCES) kept = false;
                else error = Error();
            }
        }
        if (like.exists && error == 0 && kept) {
            kept = Sys().fstat(fd, &st) == 0 && st.st_uid == like.owner && st.st_gid == like.group &&
                   (st.st_mode & 07777) == like.mode;
            bool hasAcl = false;
            for (const auto& attribute : like.extended) hasAcl = hasAcl || attribute.first == kAclName;
            kept = kept && (hasAcl || ::fgetxattr(fd, kAclName, nullptr, 0) < 0);
        }
        if (error == 0 && kept) error = Flush(fd);
    }
    if (std::fclose(stream) != 0 && error == 0) error = Error();
    return error == 0 && !kept ? FILEIO_NOT_KEPT : error;
}

// A sticky folder refuses to rename over another's file: the save then writes in place.
int Replace(const char* from, const char* to) {
    if (Sys().rename(from, to) == 0) return 0;
    return errno == EPERM || errno == EACCES ? FILEIO_REPLACE_REFUSED : Error();
}

int SyncFolder(const char* path) {
    const int dir = Sys().open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir < 0) return Error();
    const int error = Flush(dir);
    Sys().close(dir);
    return error;
}


int WriteAll(int fd, const void* data, size_t size, size_t* done = nullptr) {
    const char* at = static_cast<const char*>(data);
    if (done != nullptr) *done = 0;
    for (size_t left = size; left > 0;) {
        const ssize_t n = Sys().write(fd, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error();
        if (n == 0) return FILEIO_SHORT_WRITE;
        at += n;
        left -= static_cast<size_t>(n);
        if (done != nullptr) *done += static_cast<size_t>(n);
    }
    return 0;
}

// Still the file that was read, under the same name.
int Unchanged(int fd, const char* path, const FileIdentity& expected) {
    struct stat mine {};
    FileIdentity named;
    if (Sys().fstat(fd, &mine) != 0) return Error();
    if (const int error = Identify(path, named)) return error;
    return IdentityOf(mine) == expected && named == expected ? 0 : FILEIO_CHANGED;
}

// Still the file that was read, holding the very bytes read: a change that keeps size and mtime shows
// in ctime, and one that keeps those too in the bytes.
int Same(int fd, const char* path, const FileIdentity& expected, const std::string& bytes) {
    if (const int error = Unchanged(fd, path, expected)) return error;
    std::string now;
    if (const int error = ReadAll(fd, bytes.size(), now)) return error == FILEIO_TOO_LARGE ? FILEIO_CHANGED : error;
    if (now != bytes) return FILEIO_CHANGED;
    return Unchanged(fd, path, expected);
}

int Verify(const char* path, const FileIdentity& expected, const std::string& bytes) {
    int fd = -1;
    if (const int error = OpenRegular(path, O_RDONLY, 0, fd)) return IsMissingFile(error) ? FILEIO_CHANGED : error;
    const int error = Same(fd, path, expected, bytes);
    Sys().close(fd);
    return error;
}

// Whole at the end: the old bytes back through the handle, truncated to them, flushed.
int PutBack(int fd, const std::string& old) {
    if (::lseek(fd, 0, SEEK_SET) != 0) return Error();
    int error = WriteAll(fd, old.data(), old.size());
    if (error == 0 && Sys().ftruncate(fd, static_cast<off_t>(old.size())) != 0) error = Error();
    return error == 0 ? Flush(fd) : error;
}

int Rewrite(const char* path, InPlaceWrite& job) {
    const std::string& bytes = *job.bytes;
    const std::string& old = *job.old;
    int fd = -1;
    job.step = FileStep::Write;
    if (const int error = OpenRegular(path, O_RDWR, 0, fd)) return error;
    int error = Same(fd, path, job.expected, old);
    // Never shorter: a file cut off early is what the host must never find.
    if (error == 0 && bytes.size() < old.size()) error = FILEIO_SHORT_WRITE;
    if (error == 0 && job.journal != nullptr) error = job.journal(job.context);
    if (error == 0) error = Same(fd, path, job.expected, old);
    // A file that grows gets its room first, so a full disk stops the save before the first byte.
    if (error == 0 && bytes.size() > old.size() &&
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes.size())) != 0 && errno != EOPNOTSUPP) {
        error = Error();
    }
    size_t written = 0;
    if (error == 0) {
        job.touched = true;
        error = WriteAll(fd, bytes.data(), bytes.size(), &written);
    }
    if (error == 0) {
        job.step = FileStep::Sync;
        error = Flush(fd);
    }
    if (error != 0 && job.touched) {
        // Only over what this write left: another writer's bytes are never written over.
        std::string now;
        const std::string left = bytes.substr(0, written) + (written < old.size() ? old.substr(written) : std::string());
        if (ReadAll(fd, left.size(), now) == 0 && now == left && PutBack(fd, old) == 0) job.restored = true;
    }
    if (Sys().close(fd) != 0 && error == 0) {
        job.step = FileStep::Sync;
        error = Error();
    }
    if (error == 0) job.step = FileStep::None;
    return error;
}

int Restore(const char* path, const std::string& data, const FileIdentity& expected, const std::string& current) {
    int fd = -1;
    if (const int error = OpenRegular(path, O_RDWR, 0, fd)) return error;
    int error = Same(fd, path, expected, current);
    if (error == 0) error = PutBack(fd, data);
    if (Sys().close(fd) != 0 && error == 0) error = Error();
    return error;
}

int WritePrivate(const char* path, const void* data, size_t size, FileIdentity& created) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = TempName(path);
        fd = Sys().open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) return Error();
    }
    if (fd < 0) return EEXIST;
    int error = Created(fd, created);
    if (error == 0) error = WriteAll(fd, data, size);
    if (error == 0 && Sys().fchmod(fd, 0600) != 0) error = Error();
    if (error == 0) error = Flush(fd);
    if (Sys().close(fd) != 0 && error == 0) error = Error();
    // Never over a file that has the name: the user's, or a journal not yet set aside.
    if (error == 0) error = RenameFree(temp.c_str(), path);
    if (error != 0) {
        Remove(temp.c_str(), created);
        return error;
    }
    return SyncFolder(path);
}

int ReadPrivate(const char* path, size_t limit, std::string& bytes, FileIdentity& identity) {
    bytes.clear();
    const int fd = Sys().open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (fd < 0) return errno == ELOOP ? FILEIO_NOT_OURS : Error();
    struct stat st {};
    int error = Sys().fstat(fd, &st) != 0 ? Error() : 0;
    if (error == 0 && (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0600)) {
        error = FILEIO_NOT_OURS;
    }
    if (error == 0) identity = IdentityOf(st);
    if (error == 0) error = ReadAll(fd, limit, bytes);
    Sys().close(fd);
    if (error != 0) bytes.clear();
    return error;
}

// The user's home: $HOME, or the password database's when $HOME is no absolute path.
std::string HomeFolder() {
    const char* home = ::getenv("HOME");
    if (home == nullptr || *home != '/') {
        const passwd* user = ::getpwuid(::geteuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    return home != nullptr && *home == '/' ? std::string(home) : std::string();
}

std::string RealPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string result = real != nullptr ? real : "";
    std::free(real);
    return result;
}

// As ssh checks ~/.ssh: a folder that another user may change could have what lies below it swapped.
// The state folder itself is the user's alone (0700); those above it the user's or root's, writable
// by no one else.
int CheckFolder(const std::string& path, bool own) {
    struct stat st {};
    if (Sys().lstat(path.c_str(), &st) != 0) return Error();
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    const uid_t me = ::geteuid();
    if (own) {
        if (st.st_uid != me) return FILEIO_UNSAFE_FOLDER;
        return (st.st_mode & 077) == 0 || ::chmod(path.c_str(), st.st_mode & 0700) == 0 ? 0 : Error();
    }
    return (st.st_uid == me || st.st_uid == 0) && (st.st_mode & 022) == 0 ? 0 : FILEIO_UNSAFE_FOLDER;
}

// `path` and every folder above it up to the home (up to / when it lies outside the home) pass
// CheckFolder, checked as the system finds them, every link resolved; `folder` names the one at fault.
int CheckUpward(const std::string& path, const std::string& home, bool own, std::string& folder) {
    const std::string real = RealPath(path);
    if (real.empty()) {
        const int error = Error();
        folder = path;
        return error;
    }
    const std::string realHome = home.empty() ? std::string() : RealPath(home);
    const bool inHome = !realHome.empty() && (real == realHome || real.compare(0, realHome.size() + 1, realHome + "/") == 0);
    for (std::string at = real;; at = Folder(at)) {
        if (const int error = CheckFolder(at, own && at == real)) {
            folder = at;
            return error;
        }
        if ((inHome && at == realHome) || at == "/") break;
    }
    folder = real;
    return 0;
}

int JournalFolder(std::string& folder, bool create) {
    folder.clear();
    const std::string home = HomeFolder();
    const char* state = ::getenv("XDG_STATE_HOME");
    std::string mine = state != nullptr && *state == '/' ? std::string(state) : home.empty() ? std::string() : home + "/.local/state";
    if (mine.empty()) return ENOENT;
    while (mine.size() > 1 && mine.back() == '/') mine.pop_back();
    mine += "/trelvo";
    if (create) {
        // Nothing is made below a folder another user could change; what is made is 0700.
        std::string existing = Folder(mine);
        struct stat st {};
        while (existing.size() > 1 && Sys().stat(existing.c_str(), &st) != 0) existing = Folder(existing);
        if (const int error = CheckUpward(existing, home, false, folder)) return error;
        for (size_t end = mine.find('/', existing.size() + 1);; end = mine.find('/', end + 1)) {
            const std::string part = mine.substr(0, end);
            if (Sys().mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                folder = part;
                return Error();
            }
            if (end == std::string::npos) break;
        }
    }
    return CheckUpward(mine, home, true, folder);
}

// The lock of one profile's place: its folder's device and inode and a hash of its name. Every
// spelling of the path (a linked folder, a bind mount) meets in one file, a save's rename (a new
// inode for the profile) keeps it, and the name always fits NAME_MAX.
std::string LockName(const struct stat& folder, const std::string& name) {
    char text[48];
    std::snprintf(text, sizeof text, "lock-%llx-%llx-", static_cast<unsigned long long>(folder.st_dev),
                  static_cast<unsigned long long>(folder.st_ino));
    return text + HashText(name);
}

struct HeldLock {
    int fd;
    std::string path;
};

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The descriptor still holds the file the name names: the saver before may have removed it since the open.
bool Named(int fd, const std::string& path) {
    struct stat mine {}, named {};
    return Sys().fstat(fd, &mine) == 0 && Sys().lstat(path.c_str(), &named) == 0 && SameFile(mine, named);
}

// In the user's own state folder, which no other user can enter: no one but this user's processes can
// hold it, so a holder is a saver of ours, waited for, then FILEIO_BUSY.
int Lock(const char* path, void** lock, std::string& where) {
    *lock = nullptr;
    where.clear();
    struct stat place {};
    if (Sys().stat(Folder(path).c_str(), &place) != 0) return 0;  // no folder to save in: the save says why
    std::string state;
    if (const int error = JournalFolder(state, true)) {
        where = state;
        return error;
    }
    where = state + "/" + LockName(place, BaseName(path));
    for (int waited = 0;;) {
        int fd = -1;
        if (const int error = OpenRegular(where.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600, fd)) return error;
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (Sys().setLock(fd, &whole) == 0) {
            if (Named(fd, where)) {
                *lock = new HeldLock{fd, where};
                where.clear();
                return 0;
            }
            Sys().close(fd);
            continue;
        }
        const int error = Error();
        Sys().close(fd);
        if (error != EAGAIN && error != EACCES) return error;  // no locks on this file system
        if (waited >= kLockWaitMs) {
            where.clear();
            return FILEIO_BUSY;
        }
        const timespec pause{0, 10 * 1000000};
        ::nanosleep(&pause, nullptr);
        waited += 10;
    }
}

// The file goes while still locked, so a saver that opened it meanwhile finds the name gone and takes
// a new one; only the very file locked, never what another process put at the name.
void Unlock(void* lock) {
    if (lock == nullptr) return;
    auto* held = static_cast<HeldLock*>(lock);
    if (Named(held->fd, held->path)) Sys().unlink(held->path.c_str());
    Sys().close(held->fd);
    delete held;
}

// The file starts with `header`.
bool StartsWith(const std::string& path, const std::string& header) {
    if (header.empty()) return true;
    const int fd = Sys().open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (fd < 0) return false;
    std::string head(header.size(), '\0');
    const ssize_t n = Sys().pread(fd, head.data(), head.size(), 0);
    Sys().close(fd);
    return n == static_cast<ssize_t>(header.size()) && head == header;
}

int RemoveLeftovers(const char* target, const std::string& header) {
    const std::string folder = Folder(target);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return Error();
    const time_t now = ::time(nullptr);
    int error = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsSaveTempName(target, entry->d_name)) continue;
        const std::string path = folder + "/" + entry->d_name;
        struct stat st {};
        if (Sys().lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            now - st.st_mtime <= kLeftoverAge || !StartsWith(path, header)) {
            continue;
        }
        if (Sys().unlink(path.c_str()) != 0 && error == 0) error = Error();
    }
    ::closedir(dir);
    return error;
}

constexpr FileIo kDefault{OpenLog, Write,  Close,  Read,         ReadIdentified, Identify,    Resolve,
                          Inspect, CreateTemp, Commit, Replace, SyncFolder, Remove, Rewrite,
                          Restore, Verify, WritePrivate, RenameFree, ReadPrivate, JournalFolder, Lock, Unlock, RemoveLeftovers};
FileIo g_io = kDefault;

}  // namespace

std::string SystemErrorText(int error) { return std::strerror(error); }

bool IsMissingFile(int error) noexcept { return error == ENOENT || error == ENOTDIR; }

FileIo& fileIo() noexcept { return g_io; }
void ResetFileIo() noexcept {
    g_io = kDefault;
    posix::ResetSyscalls();
}

}  // namespace platform

// POSIX file layer: descriptors checked with fstat, exclusive temporary files, fsync and rename(2).
#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one path walk

int Error() { return errno != 0 ? errno : EIO; }

// Opens without blocking, so a FIFO cannot stop the host, and keeps only regular files.
int OpenRegular(const char* path, int flags, mode_t mode, int& fd) {
    fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) return Error();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISREG(st.st_mode) ? Error() : FILEIO_NOT_REGULAR;
        ::close(fd);
        return error;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return 0;
}

int OpenLog(const char* path, void** file) {
    *file = nullptr;
    int fd = -1;
    if (const int error = OpenRegular(path, O_WRONLY | O_CREAT, 0666, fd)) return error;
    FILE* stream = ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "w") : nullptr;
    if (stream == nullptr) {
        const int error = Error();
        ::close(fd);
        return error;
    }
    *file = stream;
    return 0;
}

size_t Write(void* file, const void* data, size_t size) { return std::fwrite(data, 1, size, static_cast<FILE*>(file)); }
int Close(void* file) { return std::fclose(static_cast<FILE*>(file)) == 0 ? 0 : Error(); }

int Read(const char* path, size_t limit, std::string& bytes) {
    bytes.clear();
    int fd = -1;
    if (const int error = OpenRegular(path, O_RDONLY, 0, fd)) return error;
    int error = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = Error();
        if (n <= 0) break;
        if (bytes.size() + static_cast<size_t>(n) > limit) {
            error = FILEIO_TOO_LARGE;  // it may have grown since any size check
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (error != 0) bytes.clear();
    return error;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int Resolve(const char* path, std::string& target) {
    target = path;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : Error();
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

int Inspect(const char* path, FileFacts& facts) {
    facts = FileFacts{};
    struct stat st {};
    if (::stat(path, &st) != 0) return errno == ENOENT ? 0 : Error();
    if (!S_ISREG(st.st_mode)) return FILEIO_NOT_REGULAR;
    facts.exists = true;
    facts.mode = st.st_mode & 07777;
    facts.readOnly = (st.st_mode & 0222) == 0;
    facts.owner = st.st_uid;
    facts.group = st.st_gid;
    return 0;
}

// Unique to this save: another save, in this process or another, picks another name.
std::string TempName(const char* target) {
    static unsigned counter = 0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                 (static_cast<uint64_t>(::getpid()) << 20) ^ ++counter;
    x = (x ^ (x >> 31)) * 0x9E3779B97F4A7C15ull;
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = std::string(target) + ".trelvo-";
    for (int i = 0; i < 8; ++i, x /= 62) name += kChars[x % 62];
    return name;
}

int CreateTemp(const char* target, std::string& tempPath, void** file) {
    *file = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TempName(target);
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return Error();
        FILE* stream = ::fdopen(fd, "wb");
        if (stream == nullptr) {
            const int error = Error();
            ::close(fd);
            ::unlink(tempPath.c_str());
            return error;
        }
        *file = stream;
        return 0;
    }
    return EEXIST;
}

int Commit(void* file, const FileFacts& like) {
    FILE* stream = static_cast<FILE*>(file);
    const int fd = ::fileno(stream);
    int error = std::fflush(stream) == 0 ? 0 : Error();
    if (error == 0) {
        mode_t mode = static_cast<mode_t>(like.mode);
        if (!like.exists) {
            // What creating the file directly would have given it.
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        } else if (::geteuid() == 0 && ::fchown(fd, like.owner, like.group) != 0) {
            error = Error();
        }
        // After fchown, which may clear the set-id bits.
        if (error == 0 && ::fchmod(fd, mode) != 0) error = Error();
        if (error == 0 && ::fsync(fd) != 0) error = Error();
    }
    if (std::fclose(stream) != 0 && error == 0) error = Error();
    return error;
}

int Replace(const char* from, const char* to) {
    if (std::rename(from, to) != 0) return Error();
    // The rename itself lives in the folder: flush it too, or a power cut may undo it.
    const int dir = ::open(Folder(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);  // the file is in place; a folder that cannot be flushed changes nothing of that
        ::close(dir);
    }
    return 0;
}

int Remove(const char* path) { return std::remove(path) == 0 ? 0 : Error(); }

constexpr FileIo kDefault{OpenLog, Write, Close, Read, Resolve, Inspect, CreateTemp, Commit, Replace, Remove};
FileIo g_io = kDefault;

}  // namespace

std::string SystemErrorText(int error) { return std::strerror(error); }

bool IsMissingFile(int error) noexcept { return error == ENOENT || error == ENOTDIR; }

FileIo& fileIo() noexcept { return g_io; }
void ResetFileIo() noexcept { g_io = kDefault; }

}  // namespace platform

// The simulator's system layer on POSIX: dlopen, mkdtemp; the dialog is driven through the module's hooks.
#include "host_os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "mach3/profile/profile_file.h"
#include "platform/file_io.h"
#include "platform/posix/link_rule.h"

namespace sim {

const char* const kModuleFileName = "TRELVO-40.so";

std::vector<std::string> CommandLine(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void PrepareConsole() {}

void PrepareMemory() {
    // Above the largest buffer of a profile the plug-in reads (kMaxXmlFileBytes) and its growth.
    constexpr int kLarge = 256 << 20;
    mallopt(M_MMAP_THRESHOLD, kLarge);
    mallopt(M_TRIM_THRESHOLD, kLarge);
}

std::string HostPath(const std::string& utf8) { return utf8; }
bool HostCanName(const std::string&) { return true; }
std::string FromHostPath(const std::string& narrow) { return narrow; }
bool CanWrite(const std::string& utf8) { return access(utf8.c_str(), W_OK) == 0; }

int ConsoleColumns() {
    if (!isatty(STDOUT_FILENO)) return 0;
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

int ReadFileBytes(const std::string& path, size_t limit, std::string& bytes) {
    return platform::fileIo().read(path.c_str(), limit, bytes);
}
std::string ReadErrorText(int error) { return platform::FileErrorText(error); }

void CheckOutputPath(const std::string& utf8) {
    std::string link;
    if (const int error = platform::FollowLinks(utf8, link)) {
        throw std::runtime_error("cannot write " + utf8 + ": " + platform::FileErrorText(error) +
                                 (error == platform::FILEIO_FOREIGN_LINK ? " (" + link + ")" : ""));
    }
}

// The store's own save, with its journal where the file must be written in place.
void ReplaceUserFile(const std::string& path, const std::string& bytes) {
    CheckOutputPath(path);
    std::string why;
    if (const int error = SaveWholeProfile(path, bytes, why)) {
        throw std::runtime_error("cannot write " + path + ": " + platform::FileErrorText(error) + (why.empty() ? "" : " (" + why + ")"));
    }
}

void PrepareHostProcess() {}

bool SetFpuPrecision(int bits, std::string& said) {
    said.clear();
    return bits == 53;
}

void* OpenModule(const std::string& path) {
    // dlopen searches the library path for a bare name; the user means a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw std::runtime_error(why ? why : "unknown error");
    }
    return handle;
}

void* ModuleSymbol(void* module, const char* name) { return dlsym(module, name); }

std::string ExecutableDir() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

namespace {

constexpr const char* kFolderPrefix = "trelvo-sim-";
constexpr time_t kStaleAfter = 3600;

// A running simulator holds a lock on its folder, so a long run is never taken for a stale one.
int heldFolder = -1;

volatile sig_atomic_t pendingInterrupt = 0;

// The run stops at its next cycle; a second signal, for a run that does not, ends it at once.
void OnInterrupt(int signal) {
    if (pendingInterrupt != 0) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    pendingInterrupt = signal;
}

void RemoveStaleFolders(const std::filesystem::path& temp) {
    DIR* dir = ::opendir(temp.c_str());
    if (!dir) return;
    const time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, kFolderPrefix, std::strlen(kFolderPrefix)) != 0) continue;
        const std::filesystem::path path = temp / entry->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
            now - st.st_mtime < kStaleAfter)
            continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

}  // namespace

std::string CreateTempFolder() {
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    RemoveStaleFolders(temp);
    std::string pattern = (temp / (std::string(kFolderPrefix) + "XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    if (heldFolder >= 0) ::close(heldFolder);
    heldFolder = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (heldFolder >= 0) ::flock(heldFolder, LOCK_EX | LOCK_NB);
    return pattern;
}

void HoldInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        // A signal the caller ignores (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) ::sigaction(signal, &action, nullptr);
    }
}

int PendingInterrupt() { return pendingInterrupt; }

void EndByInterrupt(int interrupt) {
    ::signal(interrupt, SIG_DFL);
    ::raise(interrupt);
    ::_exit(128 + interrupt);
}

struct HostLock::System {
    std::mutex mutex;
};
HostLock::HostLock() : system_(std::make_unique<System>()) {}
HostLock::~HostLock() = default;
void HostLock::lock() { system_->mutex.lock(); }
void HostLock::unlock() { system_->mutex.unlock(); }

bool DriveConfigDialog(VoidEntryFn, const std::string&) { return false; }

}  // namespace sim

// The kernel's protected_symlinks rule, applied by the program itself to the paths it writes.
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/posix/link_rule.h"
#include "platform/posix/syscalls.h"

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one path walk

// As the kernel decides for a link in `folder` owned by `owner`.
int MayFollow(const std::string& folder, uid_t owner) {
    struct stat st {};
    if (posix::syscalls().stat(folder.c_str(), &st) != 0) return errno != 0 ? errno : EIO;
    const bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    return !shared || owner == ::geteuid() || owner == st.st_uid ? 0 : FILEIO_FOREIGN_LINK;
}

}  // namespace

int FollowLinks(const std::string& path, std::string& target) {
    // `done` never holds a link, so the folder of the next name is exactly `done`.
    std::string done = !path.empty() && path[0] == '/' ? "" : ".";
    std::string rest = path;
    for (int links = 0;;) {
        while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
        if (rest.empty()) break;
        const size_t slash = rest.find('/');
        const std::string name = rest.substr(0, slash);
        rest = slash == std::string::npos ? "" : rest.substr(slash);
        const std::string next = done + "/" + name;
        struct stat st {};
        if (posix::syscalls().lstat(next.c_str(), &st) != 0) {
            if (errno != ENOENT) return errno != 0 ? errno : EIO;
            done = next + rest;  // nothing there to follow: created, or refused, by the open
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            done = next;
            continue;
        }
        if (++links > kMaxLinks) return ELOOP;
        if (const int error = MayFollow(done.empty() ? "/" : done, st.st_uid)) {
            target = next;
            return error;
        }
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(next.c_str(), link.data(), link.size());
        if (n < 0) return errno != 0 ? errno : EIO;
        if (static_cast<size_t>(n) >= link.size()) return ENAMETOOLONG;  // changed while we looked
        link.resize(static_cast<size_t>(n));
        if (link[0] == '/') done.clear();
        rest = "/" + link + rest;
    }
    target = done.empty() ? "/" : done;
    if (target.compare(0, 2, "./") == 0 && path.compare(0, 2, "./") != 0) target.erase(0, 2);
    return 0;
}

}  // namespace platform

// The kernel's protected_symlinks rule, applied by the program itself to the paths it writes.
#pragma once

#include <string>

namespace platform {

// Kept whatever the system is set to: a symbolic link in a sticky folder others may write is followed
// only when it belongs to this user or to the folder's owner. Walks `path` name by name, each link in
// turn; 0 with `target` the path with every link followed (a missing name ends the walk, the rest kept
// as it is), or FILEIO_FOREIGN_LINK with `target` the link refused, or the system's reason.
int FollowLinks(const std::string& path, std::string& target);

}  // namespace platform

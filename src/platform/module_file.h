// The plug-in module's own file name, which gives the display name and the warning caption.
#pragma once

#include <string>

namespace platform {

// Full path of the loaded module file; empty when it cannot be found.
std::string ModuleFilePath();

// File name without directory and extension: "/x/TRELVO-40.so" gives "TRELVO-40".
std::string FileStem(const std::string& path);

// The module's name as the user sees it: the stem of ModuleFilePath(). It names the plug-in in the
// host and captions its message boxes.
std::string ModuleName();

}  // namespace platform

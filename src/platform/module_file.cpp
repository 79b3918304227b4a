// Path helpers shared by every platform.
#include "platform/module_file.h"

namespace platform {

std::string FileStem(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return name;
}

std::string ModuleName() { return FileStem(ModuleFilePath()); }

}  // namespace platform

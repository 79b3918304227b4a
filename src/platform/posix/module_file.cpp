// POSIX module file name: the shared object that holds this code, found with dladdr.
#include "platform/module_file.h"

#include <dlfcn.h>

namespace platform {

std::string ModuleFilePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleFilePath), &info) != 0 && info.dli_fname != nullptr) {
        return info.dli_fname;
    }
    return {};
}

}  // namespace platform

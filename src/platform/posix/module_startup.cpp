// POSIX module start-up: nothing to start.
#include "platform/module_startup.h"

namespace platform {

bool StartModuleServices() noexcept { return true; }

}  // namespace platform

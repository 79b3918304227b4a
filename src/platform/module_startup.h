// Platform services the module starts once, on the host's first call rather than while it is being loaded.
#pragma once

namespace platform {

// Starts them on the first call and answers the same on every later one; a failure has been shown
// to the user by then. Nothing in the plug-in depends on the answer.
bool StartModuleServices() noexcept;

}  // namespace platform

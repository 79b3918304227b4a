// The hooks a POSIX test host installs through the module's test-host exports.
#pragma once

#include "platform/test_host.h"

namespace platform {

struct WarningHookSlot {
    TrelvoWarningHook hook = nullptr;
    void* context = nullptr;
};

WarningHookSlot& warningHook() noexcept;

}  // namespace platform

// Warning message boxes that never block the caller.
#pragma once

namespace platform {

// Shows a modal OK box with the exclamation icon on a thread of its own and returns at once.
// The texts are copied before it returns.
void ShowMessageBoxAsync(const char* caption, const char* text) noexcept;

}  // namespace platform

// Warning message boxes that never block the caller.
#pragma once

namespace platform {

// Shows a modal OK box with the exclamation icon on a thread of its own and returns at once.
// The texts must outlive the box: callers pass literals.
void ShowMessageBoxAsync(const char* caption, const char* text) noexcept;

}  // namespace platform

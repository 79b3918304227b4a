// GoogleTest's Notification for the Windows builds, put before GoogleTest's own headers
// (tests/CMakeLists.txt). Their C++ runtime, the win32 thread model (cmake/mingw-i686.cmake), has no
// std::mutex or std::condition_variable, which GoogleTest's own Notification is made of; the rest of
// its thread support on Windows is Windows' own. Only GoogleTest's threads use it.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace testing::internal

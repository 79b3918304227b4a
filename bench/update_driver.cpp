// Runs one steady-state situation under callgrind's start/stop marks and counts heap allocations.
#include <valgrind/callgrind.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "situations.h"

// The replacements pair malloc with free on purpose.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++g_allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    bench::Situation s;
    if (argc != 4 || !bench::Parse(argv[1], s)) {
        std::fprintf(stderr, "usage: %s idle|midframe|scheduler|logall WARMUP MEASURED\n", argv[0]);
        return 2;
    }
    const long warmup = std::atol(argv[2]);
    const long measured = std::atol(argv[3]);
    const std::string dir = (std::filesystem::temp_directory_path() / (std::string("trelvo-driver-") + argv[1])).string();
    bench::Start(s, dir);
    for (long i = 0; i < warmup; ++i) bench::Cycle(s);
    const long before = g_allocations.load();
    CALLGRIND_START_INSTRUMENTATION;
    for (long i = 0; i < measured; ++i) bench::Cycle(s);
    CALLGRIND_STOP_INSTRUMENTATION;
    const long allocations = g_allocations.load() - before;
    bench::Stop();
    std::filesystem::remove_all(dir);
    std::printf("cycles=%ld allocations=%ld\n", measured, allocations);
    return 0;
}

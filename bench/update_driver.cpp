// Runs one steady-state situation under callgrind's start/stop marks and counts heap allocations.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "counting_new.h"
#include "situations.h"

int main(int argc, char** argv) {
    bench::Situation s;
    if (argc != 4 || !bench::Parse(argv[1], s)) {
        std::fprintf(stderr, "usage: %s idle|midframe|scheduler|logall|linuxcnc WARMUP MEASURED\n", argv[0]);
        return 2;
    }
    const long warmup = std::atol(argv[2]);
    const long measured = std::atol(argv[3]);
    const std::string dir = (std::filesystem::temp_directory_path() / (std::string("trelvo-driver-") + argv[1])).string();
    bench::Start(s, dir);
    const bool hal = s == bench::Situation::LinuxCnc;
    for (long i = 0; i < warmup; ++i) hal ? bench::CycleLinuxCnc() : bench::Cycle(s);
    const long before = counting_new::Allocations();
    if (hal) {
        CALLGRIND_START_INSTRUMENTATION;
        for (long i = 0; i < measured; ++i) bench::CycleLinuxCnc();
        CALLGRIND_STOP_INSTRUMENTATION;
    } else {
        CALLGRIND_START_INSTRUMENTATION;
        for (long i = 0; i < measured; ++i) bench::Cycle(s);
        CALLGRIND_STOP_INSTRUMENTATION;
    }
    const long allocations = counting_new::Allocations() - before;
    bench::Stop();
    std::filesystem::remove_all(dir);
    std::printf("cycles=%ld allocations=%ld\n", measured, allocations);
    return 0;
}

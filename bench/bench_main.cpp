// trelvo-bench: the update cycle, the assignment scan and the profile store against pugixml alone.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <pugixml.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "mach3/assignments/assignments.h"
#include "../tests/support/plugin_access.h"
#include "mach3/profile/xml_profile.h"
#include "situations.h"

namespace {

namespace fs = std::filesystem;

std::string ScratchDir(const char* what) {
    return (fs::temp_directory_path() / (std::string("trelvo-bench-") + what)).string();
}

void Update(benchmark::State& state, bench::Situation s) {
    const std::string dir = ScratchDir(bench::Name(s));
    bench::Start(s, dir);
    if (s == bench::Situation::LinuxCnc) {
        for (auto _ : state) bench::CycleLinuxCnc();
    } else {
        for (auto _ : state) bench::Cycle(s);
    }
    bench::Stop();
    fs::remove_all(dir);
}
BENCHMARK_CAPTURE(Update, idle, bench::Situation::Idle);
BENCHMARK_CAPTURE(Update, midframe, bench::Situation::MidFrame);
BENCHMARK_CAPTURE(Update, scheduler, bench::Situation::Scheduler);
BENCHMARK_CAPTURE(Update, linuxcnc, bench::Situation::LinuxCnc);
// A short run: every cycle adds two lines to the file.
BENCHMARK_CAPTURE(Update, logall, bench::Situation::LogAll)->MinTime(0.2);

void ScanAssignments(benchmark::State& state) {
    ResetPluginState();
    testsupport::State().settings.IoMode = IO_EXPANDED_IO;
    bench::WireExpandedPins();
    for (auto _ : state) {
        ScanSignalAssignments();
        benchmark::DoNotOptimize(testsupport::State().scan.bitStreamIndex);
    }
    ResetPluginState();
}
BENCHMARK(ScanAssignments);

// Both work on their own copy of the host's sample profile, rewritten in place each time.
fs::path SampleCopy(const char* name) {
    const fs::path dir = ScratchDir("profile");
    fs::create_directories(dir);
    const fs::path copy = dir / name;
    fs::copy_file(fs::path(TRELVO_DATA_DIR) / "Mach3Mill-sample.xml", copy,
                  fs::copy_options::overwrite_existing);
    return copy;
}

void StoreLoadSave(benchmark::State& state) {
    ResetPluginState();
    const std::string path = SampleCopy("store.xml").string();
    for (auto _ : state) {
        CXmlProfile store(path);
        benchmark::DoNotOptimize(store.ReadInt(kProfileSection, "ExpandedMode", 2));
    }
    ResetPluginState();
}
BENCHMARK(StoreLoadSave)->Unit(benchmark::kMicrosecond);

// The same with a key that changes every time, so every save writes the file and flushes it.
void StoreLoadChangeSave(benchmark::State& state) {
    ResetPluginState();
    const std::string path = SampleCopy("changed.xml").string();
    int32_t value = 0;
    for (auto _ : state) {
        CXmlProfile store(path);
        store.WriteInt(kProfileSection, "ExpandedMode", value++ & 1);
    }
    ResetPluginState();
}
BENCHMARK(StoreLoadChangeSave)->Unit(benchmark::kMicrosecond);

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void ExpatCheck(const std::string& bytes) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    benchmark::DoNotOptimize(XML_Parse(parser, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE));
    XML_ParserFree(parser);
}

void PugixmlParseSave(const std::string& bytes, const std::string& path) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(bytes.data(), bytes.size()));
    benchmark::DoNotOptimize(doc.save_file(path.c_str()));
}

// The least the libraries themselves do for a strict load and a save: expat checks the bytes,
// pugixml parses them and writes the file back (in place, unflushed). Each half is also timed alone.
void LibrariesLoadSave(benchmark::State& state) {
    const std::string path = SampleCopy("pugi.xml").string();
    for (auto _ : state) {
        const std::string bytes = ReadAll(path);
        ExpatCheck(bytes);
        PugixmlParseSave(bytes, path);
    }
}
BENCHMARK(LibrariesLoadSave)->Unit(benchmark::kMicrosecond);

void LibrariesExpatCheck(benchmark::State& state) {
    const std::string path = SampleCopy("expat.xml").string();
    for (auto _ : state) ExpatCheck(ReadAll(path));
}
BENCHMARK(LibrariesExpatCheck)->Unit(benchmark::kMicrosecond);

void LibrariesPugixmlParseSave(benchmark::State& state) {
    const std::string path = SampleCopy("pugi-alone.xml").string();
    for (auto _ : state) PugixmlParseSave(ReadAll(path), path);
}
BENCHMARK(LibrariesPugixmlParseSave)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

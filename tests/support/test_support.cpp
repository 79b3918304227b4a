// Shared test fixture.
#include "support/test_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "mach3/lifecycle.h"
#include "mach3/update/update.h"
#include "platform/file_io.h"

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#endif

namespace testsupport {

#if defined(_WIN32)
namespace {
// The host initialises COM on its thread before any call; the test programs stand in for it.
const bool kComReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}  // namespace
#endif

bool ComReady() {
#if defined(_WIN32)
    return kComReady;
#else
    return true;
#endif
}

bool UnderWine() {
#if defined(_WIN32)
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ProfileWithSettings(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string xml = "<profile><Preferences><Units>0</Units></Preferences>";
    if (!keys.empty()) {
        xml += "<TRELVO40>";
        for (const auto& [key, value] : keys) {
            xml += "<" + key + ">" + value + "</" + key + ">";
        }
        xml += "</TRELVO40>";
    }
    return xml + "</profile>";
}

std::vector<std::string> LogMessages(const std::string& logText) {
    std::vector<std::string> lines;
    std::istringstream in(logText);
    std::string line;
    while (std::getline(in, line)) {
        const size_t open = line.find(" [");
        const size_t close = line.find("]: ");
        if (open == 12 && close != std::string::npos) {
            lines.push_back(line.substr(open + 2, close - open - 2) + ": " + line.substr(close + 3));
        } else {
            lines.push_back(line);  // continuation of a multi-line text
        }
    }
    return lines;
}

void PluginTest::SetUp() {
    ResetPluginState();
    platform::ResetFileIo();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("trelvo-test-") + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    profile_ = dir_ / "profile.xml";
    log_ = dir_ / "debug.log";
    engine_ = HostEngineBlock{};
    state_ = HostStateBlock{};
    state_.SpinDir = 1;
}

void PluginTest::TearDown() {
    ResetPluginState();
    platform::ResetFileIo();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void PluginTest::LoadSettings(std::vector<std::pair<std::string, std::string>> keys, bool withLog) {
    if (withLog) {
        bool hasFile = false;
        bool hasLevel = false;
        for (const auto& kv : keys) {
            hasFile |= kv.first == "DebugLogFile";
            hasLevel |= kv.first == "DebugLogLevel";
        }
        if (!hasFile) keys.emplace_back("DebugLogFile", log_.string());
        if (!hasLevel) keys.emplace_back("DebugLogLevel", "5");
    }
    WriteFile(profile_, ProfileWithSettings(keys));
    PlugSetProName(profile_.string().c_str());
}

void PluginTest::Init() {
    PlugInitControl(reinterpret_cast<intptr_t>(&engine_), 0, reinterpret_cast<intptr_t>(&state_), 0);
}

void PluginTest::Cycles(int count) {
    for (int i = 0; i < count; ++i) {
        myUpdate(State());
    }
}

void PluginTest::EStopCycles(int count) {
    engine_.estop = 1;
    Cycles(count);
    engine_.estop = 0;
}

std::string PluginTest::LogText() {
    if (State().log.file != nullptr) {
        std::fflush(static_cast<FILE*>(State().log.file));
    }
#if defined(_WIN32)
    // The log is a text-mode file, so Windows writes CR LF; the tests compare lines.
    std::string text = ReadFile(log_);
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    }
    return lines;
#else
    return ReadFile(log_);
#endif
}

}  // namespace testsupport

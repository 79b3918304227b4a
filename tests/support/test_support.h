// Shared test fixture: a fresh plug-in state, host blocks, a scratch folder and the log read back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mach3/host_blocks.h"
#include "support/plugin_access.h"

namespace testsupport {

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// A profile document holding the given TRELVO40 keys (name, value) and nothing else of the plug-in's.
std::string ProfileWithSettings(const std::vector<std::pair<std::string, std::string>>& keys);

// True when the Windows tests run under wine, whose system calls do less than Windows' in places.
bool UnderWine();
// True once COM is set up on this thread as the host sets it up (always on POSIX). A program that
// parses XML must call it: a static library's object that nothing names is never linked in.
bool ComReady();

// Log lines with their "HH:MM:SS.mmm [LEVEL]: " prefix removed, as "LEVEL: text".
std::vector<std::string> LogMessages(const std::string& logText);

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // SetProName over a profile with these settings; the debug log goes to log_ at level ALL unless
    // the caller names DebugLogLevel or DebugLogFile itself.
    void LoadSettings(std::vector<std::pair<std::string, std::string>> keys, bool withLog = true);
    void Init();                 // InitControl with the fixture's host blocks
    void Cycles(int count);      // Update calls
    void EStopCycles(int count); // Update calls with the host in EStop; the flag is clear afterwards
    std::string LogText();       // the log file as written so far (closes nothing)
    std::vector<std::string> Messages() { return LogMessages(LogText()); }
    uint8_t BitStreamState(int index) const { return engine_.outputs[index].state; }

    std::filesystem::path dir_;
    std::filesystem::path profile_;
    std::filesystem::path log_;
    HostEngineBlock engine_{};
    HostStateBlock state_{};
};

}  // namespace testsupport

// The built module as a host sees it: exactly our exports, and a display name from its own file name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "mach3/host_blocks.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> DefinedDynamicSymbols(const std::string& module) {
    const std::string command = std::string(TRELVO_NM) + " -D --defined-only " + module;
    std::set<std::string> names;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const size_t space = text.find_last_of(' ');
        names.insert(space == std::string::npos ? text : text.substr(space + 1));
    }
    pclose(pipe);
    return names;
}

TEST(ModuleTest, ExportsExactlyTheEntryPointsAndTheTestHostHooks) {
    const std::set<std::string> expected = {
        "SetProName", "InitControl", "PostInitControl", "Update",    "Notify",    "Config",
        "StopPlug",   "SetDoButton", "SetGetMenuRange", "SetSetDRO", "SetGetDRO", "SetGetLED",
        "SetSetLED",  "SetCode",     "DoDwell",         "Reset",     "JogOn",     "JogOff",
        "Purge",      "Probe",       "Home",            "TrelvoSetWarningHook", "TrelvoSetDialogScript",
        "TrelvoSetDialogHook"};
    EXPECT_EQ(DefinedDynamicSymbols(TRELVO_MODULE_FILE), expected);
}

// The host shows the module under its file name: a copy named Other.so is "Other".
TEST(ModuleTest, DisplayNameFollowsTheFileName) {
    const fs::path dir = fs::temp_directory_path() / "trelvo-module-name";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path copy = dir / "Other.so";
    fs::copy_file(TRELVO_MODULE_FILE, copy);
    void* module = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto setProName = reinterpret_cast<SetProNameFn>(dlsym(module, "SetProName"));
    auto stopPlug = reinterpret_cast<VoidEntryFn>(dlsym(module, "StopPlug"));
    ASSERT_NE(setProName, nullptr);
    ASSERT_NE(stopPlug, nullptr);
    const fs::path profile = dir / "profile.xml";
    EXPECT_STREQ(setProName(profile.c_str()), "Other and 41 Quorlane Inc.");
    EXPECT_FALSE(fs::exists(profile)) << "a start with nothing to change creates no profile";
    stopPlug();
    dlclose(module);
    fs::remove_all(dir);
}

}  // namespace

// trelvo-sim --linuxcnc-config: a Mach3 machine written as a LinuxCNC configuration in stepconf's layout.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mach3/machine/machine.h"

namespace sim {

struct ConvertOptions {
    std::string profileName;  // the profile's file name, for the files' headers
    std::string name = "mach3";
    long long bitTimeNs = 0;  // the host's update period the plug-in's wire ran at
    int pulley = 0;           // --pulley, 0 when not given
};

// The first line of every file the converter writes holds this: a file without it is the user's.
extern const char* const kGeneratedMark;

struct Conversion {
    std::vector<std::string> refusals;  // any: nothing may be written
    std::vector<std::pair<std::string, std::string>> files;  // name, content
};

// The configuration for the machine; its refusals say what cannot be carried across faithfully.
Conversion ConvertMachine(const mach3::machine::Machine& machine, const ConvertOptions& options);

// "1ms", "1000us", "0.001s": nanoseconds; nothing when the text is no duration.
std::optional<long long> ParseDuration(const std::string& text);

// Why the folder may not be written, or empty: an existing non-empty folder needs `replace`, and
// then every file of the same name as one of `names` must be one the converter wrote.
std::string FolderRefusal(const std::string& dir, const std::vector<std::string>& names, bool replace);

// Writes the files into a temporary folder beside `dir`, then moves them in: the folder itself when
// it is new or empty, else file by file over the converter's own. Throws std::runtime_error.
void WriteConfigFolder(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& files);

}  // namespace sim

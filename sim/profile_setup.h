// The host profile around a run: a private copy for the plug-in, its settings, the host's own wiring.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "mach3/host_blocks.h"
#include "mach3/machine/machine.h"

namespace sim {

using SettingList = std::vector<std::pair<std::string, std::string>>;

// The whole of a file the user gave (`what`: "scenario", "profile"), read as the plug-in reads its
// profile: a regular file only, opened without blocking, never more than the plug-in's limit.
// Throws std::runtime_error "cannot read WHAT PATH: REASON".
std::string ReadUserFile(const std::string& what, const std::string& path);

// The profile file the plug-in runs on, in a temporary folder of the simulator's own that goes with
// this object: a copy of the user's file, which is only read, or a fresh empty file.
class ProfileCopy {
public:
    // Throws std::runtime_error naming `source` when it cannot be read.
    explicit ProfileCopy(const std::string& source);
    ~ProfileCopy();
    ProfileCopy(const ProfileCopy&) = delete;
    ProfileCopy& operator=(const ProfileCopy&) = delete;

    const std::string& Path() const { return path_; }
    const std::string& Folder() const { return folder_; }
    // The user's file held no bytes at all; the plug-in reads that as a profile with nothing set.
    bool Empty() const { return empty_; }

    // Writes each (key, value) into section TRELVO40 through the plug-in's own profile store, so the
    // copy keeps the file's style as the plug-in's saves do. No settings: the copy is left untouched.
    void WriteSettings(const SettingList& settings) const;
    // An integer setting of section TRELVO40 as the plug-in reads it.
    int ReadSetting(const std::string& key, int defaultValue) const;
    // Several settings from one read of the file: each key with its default, in order.
    std::vector<int> ReadSettings(const std::vector<std::pair<std::string, int>>& keys) const;
    // The plug-in starts the debug log that DebugLogFile names afresh, truncating it, when it is missing,
    // empty or an earlier log; a run writes none of the user's files, not even an earlier log. A named log is pointed at DebugLogPath() in this folder
    // before the plug-in runs; the value named is kept for SaveAs. Throws when the copy will not take
    // the new value, so that nothing runs with the user's path in it. `always` (--log): the log is
    // pointed there even when none is named, at level DEBUG when the profile's level is 0.
    void RedirectDebugLog(bool always = false);
    // The value DebugLogFile named before RedirectDebugLog, or empty when it named none.
    const std::string& NamedDebugLog() const { return namedLog_; }
    std::string DebugLogPath() const { return path_ + ".debug.log"; }
    // Copies the file as it stands now to `target`, with DebugLogFile as the user named it; throws
    // when it cannot.
    void SaveAs(const std::string& target) const;

private:
    std::string ReadString(const std::string& key) const;

    std::string folder_;
    std::string path_;
    bool empty_ = false;
    std::string namedLog_;
};

using mach3::machine::MotorPins;
using mach3::machine::MotorPinTable;

// The machine in the Preferences and TRELVO40 elements of the profile at `path`, read once. Throws
// std::runtime_error naming `shownAs` when the file is not well-formed XML (with the parser's line
// and column), or not a host profile (root <profile> holding Preferences).
mach3::machine::Machine LoadMachine(const std::string& path, const std::string& shownAs);

}  // namespace sim

// The host profile around a run: a private copy for the plug-in, its settings, the host's own wiring.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/host_blocks.h"

namespace sim {

using SettingList = std::vector<std::pair<std::string, std::string>>;

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

    // Writes each (key, value) into section TRELVO40 through the plug-in's own profile store, so the
    // copy keeps the file's style as the plug-in's saves do. No settings: the copy is left untouched.
    void WriteSettings(const SettingList& settings) const;
    // An integer setting of section TRELVO40 as the plug-in reads it.
    int ReadSetting(const std::string& key, int defaultValue) const;
    // Copies the file as it stands now to `target`; throws when it cannot.
    void SaveAs(const std::string& target) const;

private:
    std::string folder_;
    std::string path_;
};

// Fills the engine block's signal tables from the profile's Preferences element, as the host does
// from its port and pin configuration; false (and the block untouched) when there is none. Throws
// std::runtime_error when the file is not XML the profile store can read.
bool LoadPreferencesWiring(const std::string& path, HostEngineBlock& engine);

}  // namespace sim

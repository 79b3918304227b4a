// Runs the built trelvo-sim in a scratch folder and reads back its account, wire and frames.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace simtest {

struct FrameRow {
    int64_t cycle = 0;
    int word = 0;
    std::string channel;
    bool parityOk = false;
    bool stopOk = false;
};

struct SimRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    std::string wire;  // without the closing newline
    std::vector<FrameRow> frames;
    std::filesystem::path dir;
};

std::filesystem::path Scenario(const std::string& name);
std::string ReadText(const std::filesystem::path& path);

// Runs trelvo-sim with exactly these arguments in a fresh folder, which `{dir}` in an argument names.
SimRun RunArgs(const std::vector<std::string>& arguments);

// Runs trelvo-sim over the scenario (empty: the built-in one) with --wire and --frames into a
// fresh folder, plus any extra arguments.
SimRun RunSim(const std::string& scenario, const std::vector<std::string>& extra = {},
              const std::string& module = TRELVO_MODULE_FILE);

// Runs `trelvo-sim --check`, on the profile when one is given, into a fresh folder ({dir}).
SimRun RunCheck(const std::string& profile, const std::vector<std::string>& extra = {});

// The repository's sample profile with the given Preferences keys set (added when missing) and,
// unless empty, a TRELVO40 section of these elements; written to a scratch file, whose path is returned.
using Edits = std::vector<std::pair<std::string, std::string>>;
std::string EditedSample(const Edits& preferences, const std::string& section);

std::vector<FrameRow> ParseFrames(const std::string& csv);

// Frames with good parity and stop bit.
std::vector<FrameRow> GoodFrames(const std::vector<FrameRow>& frames);

}  // namespace simtest

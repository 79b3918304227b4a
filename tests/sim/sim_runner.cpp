// Process plumbing for the end-to-end tests.
#include "sim_runner.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace simtest {
namespace {

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::filesystem::path Scenario(const std::string& name) { return std::filesystem::path(TRELVO_SCENARIO_DIR) / name; }

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The fresh folder also takes the program's standard output and error.
SimRun RunArgs(const std::vector<std::string>& arguments) {
    SimRun run;
    std::string pattern = (std::filesystem::temp_directory_path() / "trelvo-simtest-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create a scratch folder";
        return run;
    }
    run.dir = pattern;
    std::string command = Quote(TRELVO_SIM_EXE);
    for (std::string arg : arguments) {
        if (const size_t at = arg.find("{dir}"); at != std::string::npos) arg.replace(at, 5, run.dir.string());
        command += " " + Quote(arg);
    }
    command += " >" + Quote((run.dir / "out.txt").string()) + " 2>" + Quote((run.dir / "err.txt").string());
    const int status = std::system(command.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadText(run.dir / "out.txt");
    run.err = ReadText(run.dir / "err.txt");
    run.wire = ReadText(run.dir / "wire.txt");
    if (!run.wire.empty() && run.wire.back() == '\n') run.wire.pop_back();
    run.frames = ParseFrames(ReadText(run.dir / "frames.csv"));
    return run;
}

SimRun RunSim(const std::string& scenario, const std::vector<std::string>& extra, const std::string& module) {
    std::vector<std::string> arguments;
    if (!scenario.empty()) arguments.push_back(scenario);
    arguments.insert(arguments.end(), {"--module", module, "--wire", "{dir}/wire.txt", "--frames", "{dir}/frames.csv"});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunArgs(arguments);
}

SimRun RunCheck(const std::string& profile, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"--check", "--module", TRELVO_MODULE_FILE};
    if (!profile.empty()) arguments.insert(arguments.end(), {"--profile", profile});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunArgs(arguments);
}

std::string EditedSample(const Edits& preferences, const std::string& section) {
    std::string xml = ReadText(TRELVO_SAMPLE_PROFILE);
    for (const auto& [key, value] : preferences) {
        const std::string open = "<" + key + ">", end = "</" + key + ">";
        const size_t at = xml.find(open);
        if (at == std::string::npos) {
            xml.insert(xml.find("</Preferences>"), open + value + end);
        } else {
            const size_t from = at + open.size();
            xml.replace(from, xml.find(end, from) - from, value);
        }
    }
    if (!section.empty()) xml.insert(xml.rfind("</profile>"), "<TRELVO40>" + section + "</TRELVO40>");
    std::string path = (std::filesystem::temp_directory_path() / "trelvo-simtest-profile-XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        ADD_FAILURE() << "cannot create a scratch profile";
        return path;
    }
    close(fd);
    std::ofstream(path, std::ios::binary) << xml;
    return path;
}

std::vector<FrameRow> ParseFrames(const std::string& csv) {
    std::vector<FrameRow> rows;
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string cycle, word, channel, parity, stop;
        std::getline(fields, cycle, ',');
        std::getline(fields, word, ',');
        std::getline(fields, channel, ',');
        std::getline(fields, parity, ',');
        std::getline(fields, stop, ',');
        rows.push_back(FrameRow{std::stoll(cycle), std::stoi(word, nullptr, 16), channel, parity == "1", stop == "1"});
    }
    return rows;
}

std::vector<FrameRow> GoodFrames(const std::vector<FrameRow>& frames) {
    std::vector<FrameRow> good;
    for (const FrameRow& f : frames)
        if (f.parityOk && f.stopOk) good.push_back(f);
    return good;
}

}  // namespace simtest

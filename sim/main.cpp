// trelvo-sim: a test host that runs the TRELVO-40 plug-in through a scenario and decodes its frames.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "board_drawing.h"
#include "builtin_scenario.h"
#include "check_page.h"
#include "host_os.h"
#include "linuxcnc_config.h"
#include "plugin_module.h"
#include "profile_setup.h"
#include "scenario.h"
#include "simulation.h"
#include "wiring_check.h"

namespace {

// Whether two paths the user gave name one file: the same file when both exist (a hard link too),
// else the same place once made absolute.
bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    const std::filesystem::path pa = sim::FilePath(a), pb = sim::FilePath(b);
    if (std::filesystem::equivalent(pa, pb, ec) && !ec) return true;
    const std::filesystem::path fa = std::filesystem::weakly_canonical(std::filesystem::absolute(pa, ec), ec);
    const std::filesystem::path fb = std::filesystem::weakly_canonical(std::filesystem::absolute(pb, ec), ec);
    return fa == fb;
}

constexpr const char* kUsage =
    "usage: trelvo-sim [SCENARIO] [OPTIONS], or trelvo-sim --check [--profile FILE] [OPTIONS], or trelvo-sim "
    "--linuxcnc-config DIR --profile FILE --bit-time TIME [--pulley N] [--name NAME] [--replace]; "
    "trelvo-sim --help lists the options";

// An output the simulator may not follow to is refused before anything runs.
bool Refused(const std::string& output) {
    try {
        sim::CheckOutputPath(output);
        return false;
    } catch (const std::runtime_error& e) {
        std::cerr << "trelvo-sim: " << e.what() << '\n';
        return true;
    }
}

}  // namespace

int main(int argc, char** argv) {
    sim::PrepareConsole();
    sim::PrepareMemory();
    CLI::App app{"Runs the TRELVO-40 plug-in module through a scenario as the Mach3 host would, and "
                 "decodes the bit stream as the TRELVO-40/41 board does."};
    std::string scenarioPath, modulePath, reportPath, pinoutPath;
    bool check = false;
    sim::RunOptions options;
    app.add_option("SCENARIO", scenarioPath, "scenario file (default: the built-in scenario)");
    app.add_option("--module", modulePath, std::string("plug-in module to load (default: ") + sim::kModuleFileName + " beside this program)");
    app.add_option("--profile", options.profilePath,
                   "host profile to start from; only read, the plug-in runs on a copy (default: a fresh profile)");
    auto* out = app.add_option("--profile-out", options.profileOutPath, "write the profile as the plug-in left it after StopPlug");
    auto* wire = app.add_option("--wire", options.wirePath, "write the level of port 1, pin 16 per cycle (0, 1 or z)");
    auto* frames = app.add_option("--frames", options.framesPath, "write the received frames as CSV");
    auto* vcd = app.add_option("--vcd", options.vcdPath, "write a Value Change Dump, one time unit per cycle");
    app.add_option("--log", options.logPath,
                   "write the plug-in's debug log of the run to FILE, whatever DebugLogFile names (at DebugLogLevel, "
                   "DEBUG when that is 0)");
    app.add_flag("--check", check,
                 "check the wiring of --profile (or of the built-in machine) against the board: exit 0 passed, 1 failed")
        ->excludes(out, wire, frames, vcd);
    std::string configDir, bitTime, configName = "mach3";
    int pulley = 0;
    bool replace = false;
    app.add_option("--linuxcnc-config", configDir,
                                  "write --profile's machine as a LinuxCNC configuration (stepconf's files, custom.hal for the "
                                  "board, mach3-conversion.txt) into the new or empty folder DIR, after the wiring check passes: "
                                  "exit 0 written, 1 refused")
        ->excludes(out, wire, frames, vcd);
    app.add_option("--bit-time", bitTime,
                   "with --linuxcnc-config: the host's update period the plug-in's wire ran at under Mach3 (1ms, 1000us)");
    app.add_option("--pulley", pulley, "with --linuxcnc-config: the spindle pulley in use, where the profile cannot tell it")
        ->check(CLI::Range(1, 25));
    app.add_option("--name", configName, "with --linuxcnc-config: the machine's name, the .ini and .hal files' (default mach3)")
        ->check([](const std::string& name) {
            return name.empty() || name.find_first_of("/\\:*?\"<>| ") != std::string::npos ? "a name without blanks or / \\ : * ? \" < > |" : "";
        });
    app.add_flag("--replace", replace, "with --linuxcnc-config: DIR may hold files; the ones an earlier run wrote are replaced");
    app.add_option("--report", reportPath, "with --check: also write the report as a page (HTML, prints on one A4 sheet)");
    app.add_option("--pinout", pinoutPath, "write the board's pinout drawing (SVG) and exit");
    int fpuBits = 53;
    app.add_option("--x87-precision", fpuBits,
                   "32-bit Windows build: the x87 precision the plug-in runs at, 53 (an MSVC-built host's, the "
                   "default) or 64 (extended)")
        ->check(CLI::IsMember({53, 64}));
    app.footer("Exit status: 0 the run completed, or the check passed; 1 the check failed; 2 an input was "
               "refused (scenario, profile or module) or the command line was wrong, and nothing ran.");
    try {
        // UTF-8 from here on, on Windows from the UTF-16 command line.
        const std::vector<std::string> arguments = sim::CommandLine(argc, argv);
        std::vector<const char*> pointers;
        for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help
    } catch (const CLI::ParseError& e) {
        std::cerr << "trelvo-sim: " << e.what() << '\n' << kUsage << '\n';
        return 2;
    }
    if (!pinoutPath.empty()) {
        if (Refused(pinoutPath)) return 2;
        std::ofstream svg(sim::FilePath(pinoutPath), std::ios::binary);
        svg << sim::PinoutSvg();
        if (!svg.flush()) {
            std::cerr << "trelvo-sim: cannot write " << pinoutPath << '\n';
            return 2;
        }
        return 0;
    }
    if (!reportPath.empty() && !check) {
        std::cerr << "trelvo-sim: --report needs --check\n" << kUsage << '\n';
        return 2;
    }
    if (!options.logPath.empty()) {
        const std::vector<std::pair<std::string, std::string>> named = {
            {options.profilePath, "the profile (--profile)"},
            {scenarioPath, "the scenario"},
            {modulePath.empty() ? sim::DefaultModulePath() : modulePath, "the plug-in module"},
            {options.profileOutPath, "the output of --profile-out"},
            {options.wirePath, "the output of --wire"},
            {options.framesPath, "the output of --frames"},
            {options.vcdPath, "the output of --vcd"},
            {reportPath, "the output of --report"}};
        for (const auto& [path, what] : named) {
            if (path.empty() || !SameFile(path, options.logPath)) continue;
            std::cerr << "trelvo-sim: --log " << options.logPath << " names " << what
                      << "; the debug log needs a file of its own\n" << kUsage << '\n';
            return 2;
        }
    }
    // The page's file is tried before the check runs, so a wrong path costs nothing; the page is
    // written whole, under another name then renamed, so an earlier page stays until it is replaced.
    if (!reportPath.empty()) {
        const std::filesystem::path folder = sim::FilePath(reportPath).parent_path();
        std::error_code ec;
        if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
            std::cerr << "trelvo-sim: cannot write the report " << reportPath << ": the folder " << sim::PathText(folder)
                      << " does not exist\n";
            return 2;
        }
        if (Refused(reportPath)) return 2;
        const bool existed = std::filesystem::exists(sim::FilePath(reportPath), ec);
        const bool regular = std::filesystem::is_regular_file(sim::FilePath(reportPath), ec);
        const bool writable = existed ? regular && sim::CanWrite(reportPath)
                                      : static_cast<bool>(std::ofstream(sim::FilePath(reportPath), std::ios::binary));
        const int error = errno;
        if (!existed) std::filesystem::remove(sim::FilePath(reportPath), ec);
        if (!writable) {
            std::cerr << "trelvo-sim: cannot write the report " << reportPath << ": "
                      << (!existed ? std::strerror(error) : regular ? "it is read-only" : "not a regular file") << '\n';
            return 2;
        }
    }
    std::string fpuSaid;
    if (!sim::SetFpuPrecision(fpuBits, fpuSaid)) {
        std::cerr << "trelvo-sim: --x87-precision " << fpuBits << " needs the 32-bit Windows build; this one has no x87 to set\n"
                  << kUsage << '\n';
        return 2;
    }
    std::optional<long long> bitTimeNs;
    if (!configDir.empty()) {
        std::string refused;
        if (check || !scenarioPath.empty()) refused = "--linuxcnc-config takes no scenario and no --check: it runs the check itself";
        else if (options.profilePath.empty()) refused = "--linuxcnc-config needs --profile FILE, the Mach3 profile to convert";
        else if (bitTime.empty())
            refused = "--linuxcnc-config needs --bit-time TIME: the host's update period the plug-in's wire ran at under Mach3 "
                      "(the profile does not say it; 1ms for a 1 kHz Mach3)";
        else if (!(bitTimeNs = sim::ParseDuration(bitTime)))
            refused = "--bit-time " + bitTime + ": give a time with its unit, 1ms or 1000us";
        else if (*bitTimeNs % 1000000 != 0 || *bitTimeNs > 1000000000LL)
            refused = "--bit-time " + bitTime + ": trelvo40 runs in LinuxCNC's 1 ms servo thread, so a bit lasts a whole number of "
                      "milliseconds, 1 to 1000";
        if (refused.empty()) refused = sim::FolderRefusal(configDir, {}, replace);
        if (!refused.empty()) {
            std::cerr << "trelvo-sim: " << refused << '\n' << kUsage << '\n';
            return 2;
        }
    } else if (!bitTime.empty() || pulley != 0 || replace || configName != "mach3") {
        std::cerr << "trelvo-sim: --bit-time, --pulley, --name and --replace go with --linuxcnc-config\n" << kUsage << '\n';
        return 2;
    }
    if (check && !scenarioPath.empty()) {
        std::cerr << "trelvo-sim: --check takes no scenario; it builds its own run from the profile\n" << kUsage << '\n';
        return 2;
    }

    try {
        sim::HoldInterrupts();
        sim::PrepareHostProcess();
        std::string text = sim::kBuiltinScenario;
        if (!scenarioPath.empty()) text = sim::ReadUserFile("scenario", scenarioPath);
        sim::Scenario scenario = sim::ParseScenario(text);
        // A user's own profile brings its own machine: the built-in run lends only its timeline.
        if (scenarioPath.empty() && !options.profilePath.empty() && !check) {
            scenario.wiring.clear();
            scenario.settings.clear();
        }
        const sim::PluginModule module =
            sim::LoadPluginModule(modulePath.empty() ? sim::DefaultModulePath() : modulePath);
        if (!configDir.empty()) {
            const sim::WiringCheckResult result = sim::RunWiringCheck(scenario, module, options.profilePath, options.logPath);
            if (const int interrupt = sim::PendingInterrupt()) throw sim::Interrupted{interrupt};
            if (!result.passed) {
                sim::WriteCheckText(result, std::cout, sim::ConsoleColumns());
                std::cout.flush();
                std::cerr << "trelvo-sim: the wiring check failed: nothing written to " << configDir << '\n';
                return 1;
            }
            sim::ConvertOptions convert;
            convert.profileName = sim::PathText(sim::FilePath(options.profilePath).filename());
            convert.name = configName;
            convert.bitTimeNs = *bitTimeNs;
            convert.pulley = pulley;
            const sim::Conversion conversion = sim::ConvertMachine(result.model, convert);
            if (!conversion.refusals.empty()) {
                std::cerr << "trelvo-sim: the profile cannot be converted faithfully; nothing written to " << configDir << ":\n";
                for (const std::string& refusal : conversion.refusals) std::cerr << "  - " << refusal << '\n';
                return 1;
            }
            std::vector<std::string> names;
            for (const auto& file : conversion.files) names.push_back(file.first);
            if (const std::string refused = sim::FolderRefusal(configDir, names, replace); !refused.empty()) {
                std::cerr << "trelvo-sim: " << refused << '\n';
                return 2;
            }
            sim::WriteConfigFolder(configDir, conversion.files);
            std::cout << "wrote the LinuxCNC configuration " << configName << " to " << configDir << ":";
            for (const std::string& name : names) std::cout << ' ' << name;
            std::cout << "\nread " << sim::PathText(sim::FilePath(configDir) / sim::FilePath("mach3-conversion.txt"))
                      << ": each key, each warning and what to check on the machine\n";
            return 0;
        }
        if (check) {
            const sim::WiringCheckResult result = sim::RunWiringCheck(scenario, module, options.profilePath, options.logPath);
            // Stopped after its last cycle: the earlier page stays.
            if (const int interrupt = sim::PendingInterrupt()) throw sim::Interrupted{interrupt};
            sim::WriteCheckText(result, std::cout, sim::ConsoleColumns());
            std::cout.flush();
            if (!reportPath.empty()) {
                std::ostringstream page;
                sim::WriteCheckPage(result, page);
                sim::ReplaceUserFile(reportPath, page.str());
            }
            return result.passed ? 0 : 1;
        }
        if (!fpuSaid.empty()) std::cout << fpuSaid << '\n';
        sim::RunScenario(scenario, module, options, std::cout);
        std::cout.flush();
        if (const int interrupt = sim::PendingInterrupt()) sim::EndByInterrupt(interrupt);
        return 0;
    } catch (const sim::Interrupted& e) {
        std::cout.flush();
        std::cerr << "trelvo-sim: interrupted; the run stopped where it was, its temporary folder removed\n";
        sim::EndByInterrupt(e.interrupt);
    } catch (const sim::ScenarioError& e) {
        std::cerr << e.what() << '\n';
    } catch (const std::exception& e) {
        std::cerr << "trelvo-sim: " << e.what() << '\n';
    }
    return 2;
}

// An independent decoder: sigrok-cli's UART decoder over the --vcd output agrees with --frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "board.h"
#include "sim_runner.h"

namespace {

struct Decoded {
    int word = 0;
    bool parityError = false;
    bool frameError = false;
};

bool HaveSigrok() { return std::system("command -v sigrok-cli >/dev/null 2>&1") == 0; }

// Samples per second from the dump's $timescale, which is all sigrok goes by.
long long SampleRate(const std::string& vcd) {
    std::smatch m;
    const std::regex timescale(R"(\$timescale\s+(\d+)\s*(s|ms|us|ns|ps)\s+\$end)");
    if (!std::regex_search(vcd, m, timescale)) return 0;
    const long long n = std::stoll(m[1]);
    const std::string unit = m[2];
    const long long perSecond = unit == "s" ? 1 : unit == "ms" ? 1000 : unit == "us" ? 1000000 : unit == "ns" ? 1000000000LL : 1000000000000LL;
    return n > 0 && perSecond % n == 0 ? perSecond / n : 0;
}

std::vector<Decoded> RunSigrok(const std::string& vcdPath, long long baud) {
    const std::string command = "sigrok-cli -I vcd -i '" + vcdPath + "' -P uart:rx=bitstream:baudrate=" + std::to_string(baud) +
                                ":data_bits=7:parity=odd -A uart=rx-data:rx-parity-err:rx-warnings 2>&1";
    std::vector<Decoded> words;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return words;
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    pclose(pipe);
    std::istringstream lines(output);
    const std::regex data(R"(^uart-1: ([0-9A-Fa-f]{2})$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, data)) {
            words.push_back(Decoded{std::stoi(m[1], nullptr, 16)});
        } else if (line.find("Parity error") != std::string::npos && !words.empty()) {
            words.back().parityError = true;
        } else if (line.find("Frame error") != std::string::npos && !words.empty()) {
            words.back().frameError = true;
        } else {
            ADD_FAILURE() << "unexpected sigrok output: " << line;
        }
    }
    return words;
}

class SigrokCrossCheck : public ::testing::TestWithParam<const char*> {};

TEST_P(SigrokCrossCheck, WordsMatchFrameForFrame) {
    if (!HaveSigrok()) {
        if (std::getenv("TRELVO_REQUIRE_SIGROK")) FAIL() << "sigrok-cli is required but not installed";
        GTEST_SKIP() << "sigrok-cli not installed";
    }
    const std::string scenario = GetParam();
    const std::string vcd = (std::filesystem::temp_directory_path() /
                             ("trelvo-simtest-" + std::to_string(getpid()) + "-" + (scenario.empty() ? "builtin" : scenario) + ".vcd"))
                                .string();
    const simtest::SimRun run =
        simtest::RunSim(scenario.empty() ? "" : simtest::Scenario(scenario).string(), {"--vcd", vcd});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string dump = simtest::ReadText(vcd);
    const long long rate = SampleRate(dump);
    ASSERT_GT(rate, 0) << "no usable $timescale";
    // One sample per cycle, and the dump runs to one past the last cycle.
    EXPECT_NE(dump.find("\n#" + std::to_string(run.wire.size()) + "\n"), std::string::npos);

    const std::vector<Decoded> decoded = RunSigrok(vcd, rate);
    ASSERT_FALSE(run.frames.empty());
    // sigrok also reports a frame cut off by the end of the recording; the receiver does not.
    ASSERT_GE(decoded.size(), run.frames.size());
    ASSERT_LE(decoded.size(), run.frames.size() + 1);
    for (size_t i = 0; i < run.frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i) + " at cycle " + std::to_string(run.frames[i].cycle));
        EXPECT_EQ(decoded[i].word, run.frames[i].word);
        EXPECT_EQ(decoded[i].parityError, !run.frames[i].parityOk);
        EXPECT_EQ(decoded[i].frameError, !run.frames[i].stopOk);
    }
    if (decoded.size() > run.frames.size()) {
        // Only a frame still on the wire at the end may be extra.
        sim::Receiver rx;
        int64_t cycle = 0;
        for (char c : run.wire)
            rx.Sample(cycle++, c == '0' ? sim::LineLevel::Low : c == '1' ? sim::LineLevel::High : sim::LineLevel::Undriven);
        EXPECT_TRUE(rx.InFrame()) << "sigrok decoded a word the receiver never saw";
    }
    std::filesystem::remove(vcd);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SigrokCrossCheck,
                         ::testing::Values("", "estop_mid_frame.txt", "fairness_ifd3.txt", "rewire.txt", "demo.txt"),
                         [](const auto& info) {
                             std::string name = info.param[0] ? info.param : "builtin";
                             return name.substr(0, name.find('.'));
                         });

}  // namespace

// The check's page: well-formed, each pin as the text report has it, and clean in a real browser.
#include <expat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "sim_runner.h"

namespace {

using simtest::SimRun;

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Board outputs as the text report names them, and the page's pin ids.
const std::vector<std::pair<std::string, std::string>> kOutputs = {
    {"J5 A", "J5-A"}, {"J5 B", "J5-B"}, {"J5 C", "J5-C"}, {"J5 D", "J5-D"},
    {"K1", "K1"},     {"K2", "K2"},     {"J6 16", "J6-16"}, {"J6 17", "J6-17"}};

// The text report's rows of one board output: its own line and the continuation lines under it.
std::vector<std::string> Rows(const std::string& report, const std::string& name) {
    std::vector<std::string> rows;
    std::istringstream lines(report.substr(report.find("\nboard outputs:\n")));
    std::string line;
    bool in = false;
    while (std::getline(lines, line) && line.rfind("board inputs", 0) != 0) {
        if (line.size() > 9 && line[2] != ' ') in = line.compare(2, name.size() + 1, name + " ") == 0;
        if (in) rows.push_back(line);
    }
    return rows;
}

std::string PinText(const pugi::xml_document& page, const std::string& id) {
    const pugi::xpath_node pin = page.select_node(("//*[@id='pin-" + id + "']").c_str());
    std::string text;
    for (const pugi::xpath_node& t : pin.node().select_nodes(".//text()")) text += std::string(t.node().value()) + " ";
    return text;
}

// pugixml reads past much that is not XML; expat takes only well-formed markup.
std::string NotWellFormed(const std::string& bytes) {
    const XML_Parser parser = XML_ParserCreate(nullptr);
    std::string why;
    if (XML_Parse(parser, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) != XML_STATUS_OK)
        why = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
              std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " + std::to_string(XML_GetCurrentColumnNumber(parser));
    XML_ParserFree(parser);
    return why;
}

struct PageCase {
    const char* name;
    std::string profile;
    simtest::Edits edits = {};  // when given: the sample, edited, in mode 0
    std::string copyAs = "";    // when given: the profile is checked as a copy of this name
    std::string section = "";   // more of section TRELVO40
    std::string mode = "<ExpandedMode>0</ExpandedMode>";
};

// The tallest page: every board output wired, twice (a strip row pair for each), and faults on
// motors, shared pins and the EStop, more than the sheet lists.
simtest::Edits EveryPin() {
    simtest::Edits edits = {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"}, {"Motor0StepPort", "8"},
                            {"Motor1DirPort", "9"},  {"Input25Pin", "15"},  {"Input25Neg", "1"}};
    const int pins[8][2] = {{8, 1}, {8, 14}, {8, 16}, {8, 17}, {9, 1}, {9, 14}, {9, 16}, {9, 17}};
    for (int k = 0; k < 8; ++k) {
        for (const int output : {7 + k, 19 + k}) {
            const std::string o = "Output" + std::to_string(output);
            edits.insert(edits.end(), {{o + "Active", "1"}, {o + "Port", std::to_string(pins[k][0])},
                                       {o + "Pin", std::to_string(pins[k][1])}, {o + "Neg", output < 19 ? "1" : "0"}});
        }
    }
    return edits;
}
const simtest::Edits kEveryPin = EveryPin();

class CheckPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(CheckPage, SaysWhatTheTextReportSays) {
    const PageCase& c = GetParam();
    std::string profile =
        c.edits.empty() ? c.profile : simtest::EditedSample(c.edits, c.mode + c.section);
    if (!c.copyAs.empty()) {
        const std::filesystem::path copy = std::filesystem::temp_directory_path() / c.copyAs;
        std::filesystem::copy_file(profile, copy, std::filesystem::copy_options::overwrite_existing);
        profile = copy.string();
    }
    const SimRun run = simtest::RunCheck(profile, {"--report", "{dir}/report.html"});
    if (!c.edits.empty() || !c.copyAs.empty()) std::filesystem::remove(profile);
    ASSERT_LE(run.exitCode, 1) << run.err;
    const std::string html = simtest::ReadText(run.dir / "report.html");
    ASSERT_EQ(NotWellFormed(html), "");
    pugi::xml_document page;
    const pugi::xml_parse_result parsed = page.load_string(html.c_str());
    ASSERT_TRUE(parsed) << parsed.description() << " at byte " << parsed.offset;
    EXPECT_NE(std::string(page.select_node("//title").node().text().as_string()).find(profile), std::string::npos);

    std::string verdict = run.out.substr(run.out.rfind("\ncheck ") + 1);
    verdict.erase(verdict.find('\n') + 1);
    EXPECT_EQ(page.select_node("//h1").node().text().as_string(),
              std::string(run.exitCode == 0 ? "\u2714 Check passed" : "\u2718 Check failed"));
    EXPECT_EQ(verdict.substr(verdict.find(": ") + 2), std::string(page.select_node("//p").node().text().as_string()) + "\n");
    for (const auto& [name, id] : kOutputs) {
        const std::string pin = PinText(page, id);
        const std::vector<std::string> rows = Rows(run.out, name);
        ASSERT_FALSE(rows.empty()) << name;
        std::string word = "not wired";
        for (const std::string& row : rows) {
            const size_t at = row.find("output ");
            if (at == std::string::npos) continue;
            const std::string label = row.substr(at, row.find('"', row.find('"', at) + 1) + 1 - at);
            EXPECT_NE(pin.find(label), std::string::npos) << name << ": " << label << " not in: " << pin;
            if (word != "NOT followed")
                word = row.find(": NOT followed") != std::string::npos  ? "NOT followed"
                       : row.find(": not checked: ") != std::string::npos ? "not checked"
                                                                           : "followed";
        }
        EXPECT_NE(pin.find(word), std::string::npos) << name << " should say " << word << ": " << pin;
    }
    // Inputs as the dialog shows them: Connector J12 "11": X Home.
    for (const char* pin : {"11", "12", "13", "15", "E", "F", "G", "H"}) {
        const std::string connector = std::isdigit(pin[0]) ? "J12" : "J11";
        const std::string row = "Connector " + connector + " \"" + pin + "\": ";
        const size_t at = run.out.find(row);
        ASSERT_NE(at, std::string::npos) << row;
        const std::string shown = run.out.substr(at + row.size(), run.out.find('\n', at) - at - row.size());
        EXPECT_NE(PinText(page, connector + "-" + pin).find(shown), std::string::npos) << row << shown;
    }
    // The EStop pin agrees with the report's EStop line.
    const std::string estop = run.out.substr(run.out.find("\nEStop: "), run.out.find('\n', run.out.find("\nEStop: ") + 1) -
                                                                            run.out.find("\nEStop: "));
    EXPECT_NE(PinText(page, "P1-10").find(estop.find("the profile agrees") != std::string::npos ? "agrees" : "fault"),
              std::string::npos) << estop << PinText(page, "P1-10");
    // One frame: a start bit, the caption's word least significant bit first, odd parity, a stop bit;
    // the word's channel and bit are those of the output it says it carries.
    const std::string caption = page.select_node("//svg[@class='strip']/text[2]").node().text().as_string();
    const pugi::xpath_node_set bits = page.select_nodes("//svg[@class='strip']/text[@y='88']");
    if (caption.find("carrying output ") != std::string::npos) {
        ASSERT_EQ(bits.size(), 10u) << caption;
        std::string levels;
        for (const pugi::xpath_node& b : bits) levels += b.node().text().as_string();
        const int word = std::stoi(caption.substr(caption.find("word 0x") + 7, 2), nullptr, 16);
        std::string frame = "0";
        int ones = 0;
        for (int b = 0; b < 7; ++b) ones += (word >> b) & 1, frame += static_cast<char>('0' + ((word >> b) & 1));
        frame += (ones % 2 ? "01" : "11");
        EXPECT_EQ(levels, frame) << caption;
        const std::string output = caption.substr(caption.find("carrying ") + 9, caption.rfind(" on") - caption.find("carrying ") - 9);
        const size_t row = run.out.find(output, run.out.find("\nboard outputs:\n"));
        ASSERT_NE(row, std::string::npos) << output;
        size_t line = run.out.rfind('\n', row) + 1;
        while (run.out[line + 2] == ' ') line = run.out.rfind('\n', line - 2) + 1;  // a shared pin's later rows
        const std::string name = run.out.substr(line + 2, 5);
        int latch = 0;
        while (latch < 8 && name.rfind(kOutputs[latch].first, 0) != 0) ++latch;
        ASSERT_LT(latch, 8) << name;
        const bool activeLow = run.out.compare(row + output.size(), 12, ", active-low") == 0;
        EXPECT_EQ(word >> 4, latch < 4 ? 0 : 1) << caption;
        EXPECT_EQ((word >> (latch & 3)) & 1, activeLow ? 0 : 1) << caption;
    }
    // The sheet shows every fault, then warnings and notes while they fit, in the report's order, each
    // with its class, its sign and its fix whole; then counts the rest.
    std::vector<std::string> kinds;
    const size_t problems = run.out.find("\nproblems (");
    for (size_t at = run.out.find("\n  - ", problems); at != std::string::npos; at = run.out.find("\n  - ", at + 1))
        kinds.push_back(run.out.substr(at + 5, run.out.find_first_of(",:", at + 5) - at - 5));
    const size_t listed = kinds.size();
    const pugi::xpath_node_set items = page.select_nodes("//ol[starts-with(@class, 'problems')]/li");
    const size_t shown = items.size();
    EXPECT_GE(shown, static_cast<size_t>(std::count(kinds.begin(), kinds.end(), "fault"))) << run.out;
    const std::map<std::string, std::string> kSign = {{"fault", "\u2718 FAULT"}, {"warning", "\u26a0 WARNING"}, {"note", "\u2139 NOTE"}};
    for (size_t k = 0; k < shown && k < listed; ++k) {
        const pugi::xml_node item = items[k].node();
        EXPECT_EQ(item.attribute("class").as_string(), kinds[k]) << k;
        EXPECT_EQ(item.select_node(".//span[@class='badge']").node().text().as_string(), kSign.at(kinds[k])) << k;
        const std::string fix = item.select_node(".//span[@class='fix']").node().text().as_string();
        if (!fix.empty()) {
            EXPECT_NE(run.out.find("\n    fix: " + fix.substr(5) + "\n"), std::string::npos) << fix;
        }
    }
    EXPECT_EQ(html.find("line-clamp", html.find("ol.problems")), std::string::npos) << "a problem or its fix is cut";
    const std::string more = page.select_node("//p[@class='more']").node().text().as_string();
    EXPECT_EQ(more, listed > shown ? "and " + std::to_string(listed - shown) + " more: trelvo-sim --check lists them all" : "");
    if (run.out.find(": not checked: ") != std::string::npos) {
        EXPECT_EQ(caption.find("carrying"), std::string::npos) << caption;
        EXPECT_NE(caption.find(", not a host output: DemoMode drives the board"), std::string::npos) << caption;
    }
    EXPECT_TRUE(page.select_nodes("//script | //*[@src] | //*[@href]").empty());
}

INSTANTIATE_TEST_SUITE_P(Profiles, CheckPage,
                         ::testing::Values(PageCase{"Sample", TRELVO_SAMPLE_PROFILE},
                                           PageCase{"Correct", simtest::Scenario("check_correct.xml").string()},
                                           PageCase{"MarkupInThePath", simtest::Scenario("check_correct.xml").string(), {},
                                                    "trelvo-simtest a&b <c>.xml"},
                                           PageCase{"SharedPin", "",
                                                    {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"},
                                                     {"Output7Active", "1"}, {"Output7Port", "9"}, {"Output7Pin", "1"},
                                                     {"Output8Active", "1"}, {"Output8Port", "9"}, {"Output8Pin", "1"}}},
                                           PageCase{"DemoMode", "", {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"},
                                                    {"Output7Active", "1"}, {"Output7Port", "9"}, {"Output7Pin", "1"}},
                                                    "", "<DemoMode>1</DemoMode>"},
                                           PageCase{"EveryPinAndManyProblems", "", kEveryPin},
                                           // A warning and a note, each in its own class and sign.
                                           PageCase{"ActiveLowRelayInExpandedOutput", "",
                                                    {{"Output16Active", "1"}, {"Output16Port", "1"}, {"Output16Pin", "16"},
                                                     {"Output7Active", "1"}, {"Output7Port", "9"}, {"Output7Pin", "1"},
                                                     {"Output7Neg", "1"}},
                                                    "", "", "<ExpandedMode>1</ExpandedMode>"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckPage, DocsPinoutIsTheDrawingOfToday) {
    const std::filesystem::path svg = std::filesystem::temp_directory_path() / "trelvo-simtest-pinout.svg";
    ASSERT_EQ(Shell(std::string("'") + TRELVO_SIM_EXE + "' --pinout '" + svg.string() + "'"), 0);
    EXPECT_EQ(simtest::ReadText(svg), simtest::ReadText(TRELVO_PINOUT_SVG)) << "cmake --build --preset default --target board-pinout";
    std::filesystem::remove(svg);
}

TEST(CheckPageInput, ReportPathIsRefusedBeforeTheCheckRuns) {
    const SimRun missing = simtest::RunCheck("", {"--report", "/nonexistent-folder/report.html"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.err, "trelvo-sim: cannot write the report /nonexistent-folder/report.html: the folder "
                           "/nonexistent-folder does not exist\n");
    EXPECT_EQ(missing.out, "");
    const SimRun folder = simtest::RunCheck("", {"--report", "{dir}"});
    EXPECT_EQ(folder.exitCode, 2);
    EXPECT_NE(folder.err.find("cannot write the report " + folder.dir.string() + ": "), std::string::npos) << folder.err;
    EXPECT_EQ(folder.out, "");
}


// Headless chromium on a local file, with nothing of its own reaching out; its log and net log go
// into `dir`.
int Chromium(const std::filesystem::path& dir, const std::string& what, const std::filesystem::path& page) {
    return Shell("timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                 "--disable-background-networking --disable-component-update --disable-sync --hide-scrollbars "
                 "--no-pdf-header-footer --window-size=794,1123 --user-data-dir='" + (dir / "chromium").string() +
                 "' --enable-logging=stderr --v=0 --log-net-log='" + (dir / "net.json").string() + "' " + what +
                 " 'file://" + page.string() + "' >'" + (dir / "out.txt").string() + "' 2>'" + (dir / "log.txt").string() + "'");
}

TEST(CheckPageInChromium, ShowsEveryPinWithoutErrorsOrNetwork) {
    if (Shell("command -v chromium >/dev/null 2>&1") != 0) {
        if (std::getenv("TRELVO_REQUIRE_CHROMIUM")) FAIL() << "chromium is required but not installed";
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps browser)";
    }
    const SimRun run = simtest::RunCheck(TRELVO_SAMPLE_PROFILE, {"--report", "{dir}/report.html"});
    ASSERT_EQ(run.exitCode, 1) << run.err;
    const std::filesystem::path page = run.dir / "report.html";

    ASSERT_EQ(Chromium(run.dir, "--dump-dom", page), 0) << simtest::ReadText(run.dir / "log.txt");
    const std::string dom = simtest::ReadText(run.dir / "out.txt");
    for (const char* id : {"P1-10", "P1-16", "P1-17", "J12-11", "J12-12", "J12-13", "J12-15", "J11-E", "J11-F", "J11-G", "J11-H",
                           "K1", "K2", "J5-A", "J5-B", "J5-C", "J5-D", "J6-16", "J6-17"}) {
        const size_t at = dom.find(std::string("id=\"pin-") + id + "\"");
        ASSERT_NE(at, std::string::npos) << id;
        const std::string pin = dom.substr(at, dom.find("</g>", at) - at);
        EXPECT_NE(pin.find(std::string(id).substr(std::string(id).find('-') + 1) + "</text>"), std::string::npos) << pin;
        if (id[0] == 'K' || id[1] == '5' || id[1] == '6') {
            EXPECT_NE(pin.find("not wired"), std::string::npos) << pin;
        }
    }
    const std::string log = simtest::ReadText(run.dir / "log.txt");
    EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
    // Requests the page makes carry its file:// origin; chromium's own would not.
    const std::string net = simtest::ReadText(run.dir / "net.json");
    ASSERT_FALSE(net.empty());
    EXPECT_EQ(net.find("\"network_isolation_key\":\"file://"), std::string::npos);

    // Passing or failing, and with more problems than the sheet lists, each page prints on one sheet.
    const std::string tallest = simtest::EditedSample(kEveryPin, "<ExpandedMode>1</ExpandedMode><EnableSpindle>1</EnableSpindle>"
                                                                 "<DebugLogFile>" TRELVO_SAMPLE_PROFILE "</DebugLogFile>");
    const SimRun tall = simtest::RunCheck(tallest, {"--report", "{dir}/report.html"});
    std::filesystem::remove(tallest);
    ASSERT_EQ(tall.exitCode, 1) << tall.err;
    const SimRun passing = simtest::RunCheck("", {"--report", "{dir}/report.html"});
    ASSERT_EQ(passing.exitCode, 0) << passing.err;
    for (const std::filesystem::path& dir : {run.dir, tall.dir, passing.dir}) {
        SCOPED_TRACE(dir);
        ASSERT_EQ(Chromium(dir, "--print-to-pdf='" + (dir / "report.pdf").string() + "'", dir / "report.html"), 0);
        const std::string pdf = simtest::ReadText(dir / "report.pdf");
        size_t pages = 0;
        for (size_t at = pdf.find("/Type /Page"); at != std::string::npos; at = pdf.find("/Type /Page", at + 1))
            pages += pdf.compare(at, 12, "/Type /Pages") != 0;
        EXPECT_EQ(pages, 1u) << "the page should print on one sheet";
        EXPECT_NE(pdf.find("/MediaBox [0 0 594.9"), std::string::npos) << "A4";
    }
    EXPECT_NE(simtest::ReadText(tall.dir / "report.html").find("<p class=\"more\">and "), std::string::npos)
        << "the tallest page has more problems than the sheet lists";

    ASSERT_EQ(Chromium(run.dir, "--screenshot='" + (run.dir / "report.png").string() + "'", page), 0);
    EXPECT_EQ(simtest::ReadText(run.dir / "report.png").substr(1, 3), "PNG");
}

}  // namespace

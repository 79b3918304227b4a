// The profile store against real files: lookups, number reading, saving, and the host's file kept safe.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#include <pugixml.hpp>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>

#include "mach3/profile/xml_profile.h"
#include "platform/file_io.h"
#include "platform/xml_document.h"
#include "support/test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
namespace fs = std::filesystem;

const std::string kSection = "TRELVO40";

class ProfileStoreTest : public testsupport::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        testsupport::State().id.ProfilePath = profile_.string();
    }

    // The folder holds the profile and nothing else: no temporary file stayed behind.
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        return names;
    }

    // Runs `use` on a store over `content` and returns the file as left after the release.
    std::string AfterStore(const std::string& content, const std::function<void(CXmlProfile&)>& use) {
        WriteFile(profile_, content);
        {
            CXmlProfile store(profile_.string());
            use(store);
        }
        return ReadFile(profile_);
    }
};

// The UTF-16 LE file, with its byte-order mark, of a text whose characters are all below 256.
std::string Utf16Le(const std::string& latin1) {
    std::string bytes = "\xFF\xFE";
    for (char c : latin1) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

std::string Repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Where POSIX's reading hands over to a fresh parser; MSXML has no such place, and its tests under
// wine would take minutes over files of that many elements.
#if defined(_WIN32)
constexpr int kPerParser = 64;
#else
constexpr int kPerParser = platform::kXmlElementsPerParser;
#endif

// `count` elements each of its own name: <T0>x</T0><T1>x</T1>...
std::string Distinct(const std::string& prefix, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i);
        out += "<" + name + ">x</" + name + ">";
    }
    return out;
}

// MSXML picks the form of an empty element itself (wine's writes "<A/>" for "<A></A>"); the host
// reads both alike. Elsewhere the text is returned unchanged.
std::string EmptyForm(const std::string& text) {
#if defined(_WIN32)
    static const std::regex kLongEmpty(R"(<([A-Za-z_][-\w.:]*)([^<>]*[^/<>])?></\1>)");
    return std::regex_replace(text, kLongEmpty, "<$1$2/>");
#else
    return text;
#endif
}

// Where two long texts part, with a little of each around it; empty when they are equal.
std::string FirstDifference(std::string actual, std::string expected) {
    actual = EmptyForm(actual);
    expected = EmptyForm(expected);
    if (actual == expected) return "";
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const size_t from = at < 40 ? 0 : at - 40;
    return "differs at byte " + std::to_string(at) + " of " + std::to_string(expected.size()) + ": got '" +
           actual.substr(from, 80) + "', expected '" + expected.substr(from, 80) + "'";
}

#if !defined(_WIN32)
// The file as pugixml reads it back: what the host would see.
pugi::xml_node LoadRoot(pugi::xml_document& doc, const std::string& text) {
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    return doc.document_element();
}
#endif

// Only a real change writes a profile: a missing one is not created, an empty or blank one not rewritten.
TEST_F(ProfileStoreTest, NoFileOrABlankOneGivesDefaultsAndIsLeftAsItIs) {
    for (const char* content : {static_cast<const char*>(nullptr), "", "  \r\n\t"}) {
        SCOPED_TRACE(content == nullptr ? std::string("missing") : std::string("'").append(content).append("'"));
        fs::remove(profile_);
        if (content != nullptr) WriteFile(profile_, content);
        const auto before = content != nullptr ? fs::last_write_time(profile_) : fs::file_time_type{};
        {
            CXmlProfile store(profile_.string());
            EXPECT_EQ(store.ReadInt(kSection, "ExpandedMode", 2), 2);
            EXPECT_EQ(store.ReadString(kSection, "DebugLogFile", "none"), "none");
        }
        EXPECT_EQ(fs::exists(profile_), content != nullptr);
        if (content != nullptr) {
            EXPECT_EQ(ReadFile(profile_), content);
            EXPECT_TRUE(fs::last_write_time(profile_) == before) << "not written again";
        }
        EXPECT_EQ(FolderEntries(), std::vector<std::string>(content != nullptr ? 1 : 0, "profile.xml"));
    }
}

TEST_F(ProfileStoreTest, NoFileThenWriteCreatesProfileWithSection) {
    {
        CXmlProfile store(profile_.string());
        EXPECT_TRUE(store.WriteInt(kSection, "ExpandedMode", 1));
    }
    EXPECT_EQ(ReadFile(profile_), "<profile><TRELVO40><ExpandedMode>1</ExpandedMode></TRELVO40></profile>");
}

TEST_F(ProfileStoreTest, BlankFileCountsAsMissing) {
    for (const std::string blank : {"", "  \r\n\t"}) {
        const std::string saved = AfterStore(blank, [](CXmlProfile& s) { s.WriteInt(kSection, "K", 4); });
#if defined(_WIN32)
        EXPECT_EQ(saved, "<profile><TRELVO40><K>4</K></TRELVO40></profile>") << "blank file '" << blank << "'";
#else
        pugi::xml_document doc;
        pugi::xml_node root = LoadRoot(doc, saved);
        EXPECT_STREQ(root.name(), "profile") << "blank file '" << blank << "'";
        EXPECT_STREQ(root.child(kSection.c_str()).child_value("K"), "4");
#endif
    }
}

TEST_F(ProfileStoreTest, OtherRootNameIsUsedUnchanged) {
    const std::string saved = AfterStore("<Mach3><A>1</A></Mach3>", [](CXmlProfile& s) {
        EXPECT_EQ(s.ReadInt("A", "missing", 9), 9);
        s.WriteInt(kSection, "ExpandedMode", 0);
    });
    EXPECT_EQ(saved, "<Mach3><A>1</A><TRELVO40><ExpandedMode>0</ExpandedMode></TRELVO40></Mach3>");
}

TEST_F(ProfileStoreTest, ReadsOfMissingSectionOrKeyChangeNothing) {
    const std::string original = "<profile><TRELVO40><Other>1</Other></TRELVO40><X/></profile>";
    const std::string saved = AfterStore(original, [](CXmlProfile& s) {
        EXPECT_EQ(s.ReadInt(kSection, "ExpandedMode", 2), 2);
        EXPECT_EQ(s.ReadInt("NoSuchSection", "ExpandedMode", -3), -3);
        EXPECT_EQ(s.ReadString(kSection, "DebugLogFile", "d"), "d");
    });
    EXPECT_EQ(saved, original);
}

// A key with nothing in it reads as missing; the file, the user's comment in it too, is not written.
TEST_F(ProfileStoreTest, EmptyKeyReadsAsDefaultAndIsLeftAsItIs) {
    const struct {
        const char* name;
        std::string content;
        bool asString;
    } cases[] = {
        {"int, start/end tags", "<profile><TRELVO40><K></K><J>3</J></TRELVO40></profile>", false},
        {"string, empty tag", "<profile><TRELVO40><J>3</J><K/></TRELVO40></profile>", true},
        {"int, only key", "<profile><TRELVO40><K/></TRELVO40><Z>1</Z></profile>", false},
        {"host's long empty form", "<profile><A></A><TRELVO40><K></K></TRELVO40></profile>", false},
        {"indented", "<profile>\n  <TRELVO40>\n    <J>3</J>\n    <K></K>\n  </TRELVO40>\n</profile>\n", true},
        {"a comment only", "<profile><TRELVO40><K><!-- the user's note --></K></TRELVO40></profile>", false},
        {"a processing instruction only", "<profile><TRELVO40><K><?note x?></K></TRELVO40></profile>", true},
        {"empty CDATA", "<profile><TRELVO40><K><![CDATA[]]></K></TRELVO40></profile>", false},
    };
    for (const auto& c : cases) {
        WriteFile(profile_, c.content);
        const auto before = fs::last_write_time(profile_);
        {
            CXmlProfile store(profile_.string());
            if (c.asString) {
                EXPECT_EQ(store.ReadString(kSection, "K", "dflt"), "dflt") << c.name;
            } else {
                EXPECT_EQ(store.ReadInt(kSection, "K", 77), 77) << c.name;
            }
            EXPECT_EQ(store.ReadString(kSection, "K", "again"), "again") << c.name;
        }
        EXPECT_EQ(ReadFile(profile_), c.content) << c.name;
        EXPECT_TRUE(fs::last_write_time(profile_) == before) << c.name << ": not written again";
    }
}

TEST_F(ProfileStoreTest, ReadIntTakesLeadingNumberAndSaturates) {
    const struct {
        std::string text;
        int32_t expected;
    } cases[] = {
        {"12abc", 12},
        {" -5", -5},
        {"abc", 0},
        {"+7", 7},
        {"\t\r\n 42 ", 42},
        {"-", 0},
        {" \t\r\n ", 0},  // blanks are text, not an empty key
        {"- 5", 0},
        {"+-5", 0},
        {"1 2", 1},
        {"0042", 42},
        {"0000000000000000000000123", 123},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX},
        {"-2147483649", INT32_MIN},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
        {"123456789012345678901234567890", INT32_MAX},
    };
    for (const auto& c : cases) {
        WriteFile(profile_, "<profile><TRELVO40><K>" + c.text + "</K></TRELVO40></profile>");
        CXmlProfile store(profile_.string());
        EXPECT_EQ(store.ReadInt(kSection, "K", -100), c.expected) << "text '" << c.text << "'";
    }
}

TEST_F(ProfileStoreTest, ReadStringReturnsTextAsStored) {
    WriteFile(profile_, "<profile><TRELVO40><F> C:\\Mach3\\log &amp; more.txt</F><N>12abc</N><B> \t </B></TRELVO40></profile>");
    CXmlProfile store(profile_.string());
    EXPECT_EQ(store.ReadString(kSection, "F", ""), " C:\\Mach3\\log & more.txt");
    EXPECT_EQ(store.ReadString(kSection, "B", ""), " \t ");
    EXPECT_EQ(store.ReadString(kSection, "N", ""), "12abc");
}

TEST_F(ProfileStoreTest, WritesAppendMissingSectionAndKeyLast) {
    struct Case {
        const char* name;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"missing section", "<profile><A>1</A><B/></profile>",
         "<profile><A>1</A><B/><TRELVO40><ExpandedMode>1</ExpandedMode><EnableSpindle>0</EnableSpindle></TRELVO40>"
         "</profile>"},
        {"missing keys", "<profile><TRELVO40><DemoMode>0</DemoMode></TRELVO40><A/></profile>",
         "<profile><TRELVO40><DemoMode>0</DemoMode><ExpandedMode>1</ExpandedMode><EnableSpindle>0</EnableSpindle>"
         "</TRELVO40><A/></profile>"},
        {"keys present", "<profile><TRELVO40><EnableSpindle>1</EnableSpindle><ExpandedMode>2</ExpandedMode></TRELVO40></profile>",
         "<profile><TRELVO40><EnableSpindle>0</EnableSpindle><ExpandedMode>1</ExpandedMode></TRELVO40></profile>"},
        {"keys as empty-element tags, written unread", "<profile><TRELVO40><EnableSpindle/><ExpandedMode /></TRELVO40></profile>",
         "<profile><TRELVO40><EnableSpindle>0</EnableSpindle><ExpandedMode >1</ExpandedMode></TRELVO40></profile>"},
        {"a comment between the root's last two elements is no indentation",
         "<profile>\n  <A/>\n  <!-- c -->\n  <B/>\n</profile>\n",
         "<profile>\n  <A/>\n  <!-- c -->\n  <B/>\n<TRELVO40><ExpandedMode>1</ExpandedMode><EnableSpindle>0</EnableSpindle>"
         "</TRELVO40></profile>\n"},
    };
    for (const Case& c : cases) {
        const std::string saved = AfterStore(c.content, [](CXmlProfile& s) {
            EXPECT_TRUE(s.WriteInt(kSection, "ExpandedMode", 1));
            EXPECT_TRUE(s.WriteInt(kSection, "EnableSpindle", 0));
        });
        EXPECT_EQ(EmptyForm(saved), EmptyForm(c.expected)) << c.name;
    }
}

TEST_F(ProfileStoreTest, SameKeyWrittenTwiceKeepsOneElementWithLastValue) {
    const std::string saved = AfterStore("<profile><TRELVO40><K>old<sub>x</sub></K></TRELVO40></profile>",
                                         [](CXmlProfile& s) {
                                             EXPECT_TRUE(s.WriteInt(kSection, "K", 5));
                                             EXPECT_TRUE(s.WriteString(kSection, "K", "six"));
                                             EXPECT_EQ(s.ReadString(kSection, "K", ""), "six");
                                             EXPECT_TRUE(s.WriteInt(kSection, "K", 7));
                                             EXPECT_EQ(s.ReadInt(kSection, "K", 0), 7);
                                         });
    EXPECT_EQ(saved, "<profile><TRELVO40><K>7</K></TRELVO40></profile>");
}

TEST_F(ProfileStoreTest, DuplicateSectionsUseTheFirst) {
    const std::string saved =
        AfterStore("<profile><TRELVO40><K>1</K></TRELVO40><TRELVO40><K>2</K><J>3</J></TRELVO40></profile>",
                   [](CXmlProfile& s) {
                       EXPECT_EQ(s.ReadInt(kSection, "K", 0), 1);
                       EXPECT_EQ(s.ReadInt(kSection, "J", -1), -1);  // only in the second one
                       s.WriteInt(kSection, "K", 10);
                       s.WriteInt(kSection, "J", 30);
                   });
    EXPECT_EQ(saved, "<profile><TRELVO40><K>10</K><J>30</J></TRELVO40><TRELVO40><K>2</K><J>3</J></TRELVO40></profile>");
}

// The store maps its own section's keys at the load; another section's are mapped when asked for,
// read or written, and its keys are found, never appended a second time.
TEST_F(ProfileStoreTest, OtherSectionsAreReadAndWrittenByTheirKeys) {
    struct Case {
        const char* name;
        std::function<void(CXmlProfile&)> use;
        std::string expected;
    };
    const std::string content = "<profile><Other><X>1</X><Y>2</Y></Other><TRELVO40><K>1</K></TRELVO40></profile>";
    const Case cases[] = {
        {"read",
         [](CXmlProfile& s) {
             EXPECT_EQ(s.ReadInt("Other", "Y", 0), 2);
             EXPECT_EQ(s.ReadInt(kSection, "K", 0), 1);
         },
         content},
        {"written unread",
         [](CXmlProfile& s) { s.WriteInt("Other", "X", 3); },
         "<profile><Other><X>3</X><Y>2</Y></Other><TRELVO40><K>1</K></TRELVO40></profile>"},
        {"read, then both written",
         [](CXmlProfile& s) {
             EXPECT_EQ(s.ReadInt("Other", "X", 0), 1);
             s.WriteInt(kSection, "K", 4);
             s.WriteInt("Other", "Y", 5);
         },
         "<profile><Other><X>1</X><Y>5</Y></Other><TRELVO40><K>4</K></TRELVO40></profile>"},
    };
    for (const Case& c : cases) EXPECT_EQ(AfterStore(content, c.use), c.expected) << c.name;
}

TEST_F(ProfileStoreTest, IntegersAreWrittenAsPlainDecimal) {
    const std::pair<int32_t, std::string> cases[] = {
        {INT32_MIN, "-2147483648"}, {INT32_MAX, "2147483647"}, {0, "0"}, {-1, "-1"}, {42, "42"}};
    for (const auto& [value, text] : cases) {
        const std::string saved = AfterStore("<profile/>", [&](CXmlProfile& s) { s.WriteInt(kSection, "K", value); });
        EXPECT_EQ(saved, "<profile><TRELVO40><K>" + text + "</K></TRELVO40></profile>");
        CXmlProfile again(profile_.string());
        EXPECT_EQ(again.ReadInt(kSection, "K", 99), value);
    }
}

TEST_F(ProfileStoreTest, ChangesReachOtherStoresOnlyAfterRelease) {
    WriteFile(profile_, "<profile/>");
    auto first = std::make_unique<CXmlProfile>(profile_.string());
    first->WriteInt(kSection, "ExpandedMode", 0);
    {
        CXmlProfile early(profile_.string());
        EXPECT_EQ(early.ReadInt(kSection, "ExpandedMode", 2), 2);
    }
    first.reset();
    CXmlProfile later(profile_.string());
    EXPECT_EQ(later.ReadInt(kSection, "ExpandedMode", 2), 0);
}

TEST_F(ProfileStoreTest, EmptyPathKeepsWritesInMemoryOnly) {
    {
        CXmlProfile store("");
        EXPECT_EQ(store.ReadInt(kSection, "K", 3), 3);
        EXPECT_TRUE(store.WriteInt(kSection, "K", 8));
        EXPECT_EQ(store.ReadInt(kSection, "K", 3), 8);
    }
    EXPECT_TRUE(FolderEntries().empty());
    EXPECT_FALSE(fs::exists(".trelvo-tmp"));
}

// Where two maps part, as the names down to there; empty when they are equal.
std::string MapDifference(const platform::XmlElementBytes& a, const platform::XmlElementBytes& b) {
    if (a.name != b.name || a.begin != b.begin || a.contentBegin != b.contentBegin || a.contentEnd != b.contentEnd ||
        a.end != b.end || a.emptyTag != b.emptyTag || a.text != b.text || a.opaque != b.opaque ||
        a.children.size() != b.children.size())
        return a.name + " | " + b.name;
    for (size_t i = 0; i < a.children.size(); ++i) {
        const std::string below = MapDifference(a.children[i], b.children[i]);
        if (!below.empty()) return a.name + " > " + below;
    }
    return "";
}

// A map kept for a tool's later reads is given again only for the very bytes it was made of and
// sections it covers, and then holds just what a fresh parse of the sections asked for holds.
TEST(RememberedXmlMapsTest, AreWhatAFreshParseGives) {
    const std::string profile = "<profile><Preferences><A>1</A></Preferences><TRELVO40><B>2</B></TRELVO40>"
                                "<P><C>3</C></P><TRELVO40><D/></TRELVO40></profile>";
    std::string changed = profile, broken = profile;  // the same size, one byte apart
    changed[changed.find("<A>1") + 3] = '7';
    broken[broken.rfind("</profile>") + 1] = 'x';
    const std::vector<std::string> both = {"Preferences", kSection}, own = {kSection}, preferences = {"Preferences"},
                                   other = {"P"};
    const struct {
        const std::vector<std::string>* first;  // what the kept map was made for, from `profile`
        const std::string& bytes;
        const std::vector<std::string>* then;
    } cases[] = {
        {&both, profile, &own},    {&both, profile, &both},    {&both, profile, &preferences},
        {&both, profile, &other},  {&both, profile, nullptr},  {nullptr, profile, &own},
        {nullptr, profile, nullptr}, {&both, changed, &own},   {&both, broken, &own},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        platform::RememberXmlMaps(true);
        platform::XmlMap kept, again, fresh;
        ASSERT_EQ(platform::MapXml(profile, c.first, kept), 0);
        const int result = platform::MapXml(c.bytes, c.then, again);
        platform::RememberXmlMaps(false);
        EXPECT_EQ(result, platform::MapXml(c.bytes, c.then, fresh));
        EXPECT_EQ(MapDifference(again.root, fresh.root), "");
    }
    // A file that has no map keeps none: asked again, it is refused again.
    platform::RememberXmlMaps(true);
    for (int i = 0; i < 2; ++i) EXPECT_NE(platform::MapXml(broken, nullptr, *std::make_unique<platform::XmlMap>()), 0);
    platform::RememberXmlMaps(false);
}

// Host content the store must hand back exactly when nothing of the plug-in's changed.
TEST_F(ProfileStoreTest, UnchangedProfilesRoundTripByteForByte) {
    const std::string sample = ReadFile(fs::path(TRELVO_DATA_DIR) / "Mach3Mill-sample.xml");
    ASSERT_GT(sample.size(), 100000u);
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"host sample", sample},
        {"declaration, comment, CR LF",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- host comment -->\r\n<profile>\r\n"
         "  <Preferences units=\"mm\">\r\n    <Units>0</Units>\r\n  </Preferences>\r\n</profile>\r\n"},
        {"doctype and pi", "<!DOCTYPE profile>\n<?host keep?>\n<profile><A x=\"1\"/><!--c--><B>a&amp;b</B></profile>"},
        {"utf-8 bom", "\xEF\xBB\xBF<profile><Name>caf\xC3\xA9</Name></profile>"},
        {"latin-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><profile><Name>caf\xE9</Name></profile>"},
        {"windows-1252", "<?xml version=\"1.0\" encoding=\"windows-1252\"?><profile><Name>\x80 caf\xE9</Name></profile>"},
        {"utf-16 bom", Utf16Le("<p><N>caf\xE9</N></p>")},
    };
    for (const auto& c : cases) {
        const std::string saved = AfterStore(c.content, [](CXmlProfile& s) {
            s.ReadInt(kSection, "ExpandedMode", 2);
            s.ReadString(kSection, "DebugLogFile", "");
        });
        EXPECT_EQ(FirstDifference(saved, c.content), "") << c.name;
        // Read as a document, not merely kept as a file that did not parse.
        EXPECT_EQ(platform::CreateXmlDocument()->Load(profile_.string()), platform::XmlLoadResult::Loaded) << c.name;
    }
}

// The encodings a host profile comes in; the test texts are UTF-8 and hold nothing beyond Latin-1 and the euro sign.
struct Encoding {
    const char* name;
    const char* declared;  // the declaration's name; none for plain UTF-8
    std::string (*encode)(const std::u32string&);
};

std::string Utf8Of(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
std::string Utf8BomOf(const std::u32string& text) { return "\xEF\xBB\xBF" + Utf8Of(text); }
std::string Utf16Of(const std::u32string& text, bool little) {
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    std::u16string units;
    for (char32_t c : text) {
        if (c < 0x10000) {
            units += static_cast<char16_t>(c);
        } else {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    for (char16_t c : units) {
        out += static_cast<char>(little ? c & 0xFF : c >> 8);
        out += static_cast<char>(little ? c >> 8 : c & 0xFF);
    }
    return out;
}
std::string Utf16LeOf(const std::u32string& text) { return Utf16Of(text, true); }
std::string Utf16BeOf(const std::u32string& text) { return Utf16Of(text, false); }
std::string Latin1Of(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) out += c < 0x100 ? std::string(1, static_cast<char>(c)) : "&#" + std::to_string(static_cast<uint32_t>(c)) + ";";
    return out;
}
std::string Cp1252Of(const std::u32string& text) {
    std::u32string mapped = text;
    for (char32_t& c : mapped) c = c == U'\u20AC' ? 0x80 : c;
    return Latin1Of(mapped);
}

// An East Asian encoding, character by character; what it cannot hold becomes a reference.
std::string MultibyteOf(const std::u32string& text, const char* name) {
    std::string out;
    for (char32_t c : text) {
        char bytes[8] = {};
        size_t length = 0;
#if defined(_WIN32)
        // Windows has one code page for GBK and GB2312.
        const std::string codeset = name;
        const UINT page = codeset == "CP932" ? 932 : codeset == "EUC-KR" ? 949 : codeset == "BIG5" ? 950 : 936;
        const wchar_t wide = static_cast<wchar_t>(c);
        BOOL lossy = FALSE;
        const int n = c < 0x10000 ? WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, &wide, 1, bytes, sizeof bytes, nullptr, &lossy) : 0;
        length = n > 0 && !lossy ? static_cast<size_t>(n) : 0;
#else
        iconv_t cd = iconv_open(name, "UTF-32LE");
        char32_t in = c;
        char* from = reinterpret_cast<char*>(&in);
        char* to = bytes;
        size_t left = 4, room = sizeof bytes;
        if (iconv(cd, &from, &left, &to, &room) != static_cast<size_t>(-1) && left == 0) length = sizeof bytes - room;
        iconv_close(cd);
#endif
        out += length > 0 ? std::string(bytes, length) : "&#" + std::to_string(static_cast<uint32_t>(c)) + ";";
    }
    return out;
}
std::string ShiftJisOf(const std::u32string& t) { return MultibyteOf(t, "CP932"); }
std::string GbkOf(const std::u32string& t) { return MultibyteOf(t, "GBK"); }
std::string Gb2312Of(const std::u32string& t) { return MultibyteOf(t, "GB2312"); }
std::string EucKrOf(const std::u32string& t) { return MultibyteOf(t, "EUC-KR"); }
std::string Big5Of(const std::u32string& t) { return MultibyteOf(t, "BIG5"); }

std::u32string Chars(const std::string& utf8) {
    std::u32string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += c;
        } else if (c < 0xE0) {
            out += static_cast<char32_t>((c & 0x1F) << 6 | (utf8[++i] & 0x3F));
        } else if (c >= 0xF0) {
            out += static_cast<char32_t>((c & 0x07) << 18 | (utf8[i + 1] & 0x3F) << 12 | (utf8[i + 2] & 0x3F) << 6 |
                                         (utf8[i + 3] & 0x3F));
            i += 3;
        } else {
            const char32_t high = (c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6;
            out += high | (utf8[i + 2] & 0x3F);
            i += 2;
        }
    }
    return out;
}

// A UTF-8 text as the plug-in's narrow strings hold it.
std::string NarrowOf(const std::string& utf8) {
#if defined(_WIN32)
    const std::u32string chars = Chars(utf8);
    std::wstring wide(chars.begin(), chars.end());
    char narrow[256] = {};
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
#else
    return utf8;
#endif
}

// Each host file in each encoding: a store reads, writes one key that is there and one that is not,
// and must leave every byte outside its section as it was, its new text in the file's encoding.
TEST_F(ProfileStoreTest, SavesChangeOnlyTheSectionInTheFilesOwnEncoding) {
    const Encoding encodings[] = {
        {"UTF-8", "", Utf8Of},
        {"UTF-8 with BOM", "UTF-8", Utf8BomOf},
        {"windows-1252", "windows-1252", Cp1252Of},
        {"ISO-8859-1", "ISO-8859-1", Latin1Of},
        {"UTF-16 LE", "UTF-16", Utf16LeOf},
        {"UTF-16 BE", "UTF-16", Utf16BeOf},
        {"Shift_JIS", "Shift_JIS", ShiftJisOf},
        {"GBK", "GBK", GbkOf},
        {"GB2312", "GB2312", Gb2312Of},
        {"EUC-KR", "EUC-KR", EucKrOf},
        {"Big5", "Big5", Big5Of},
    };
    std::string sample = ReadFile(fs::path(TRELVO_DATA_DIR) / "Mach3Mill-sample.xml");
    const std::string sampleEnd = "</profile>\r\n";
    sample.resize(sample.size() - sampleEnd.size());
    const std::string written = "<ExpandedMode>0</ExpandedMode>";
#if defined(_WIN32)
    const std::string extra;  // the ANSI code page of the narrow strings holds nothing beyond the BMP
#else
    // a surrogate pair in UTF-16, a reference in the others; a character of the East Asian encodings
    const std::string extra = " \U0001F600 \u65E5";
#endif
    // A CR as a reference: a reader turns a raw one into a line feed.
    const std::string label = "<Label>Fr\u00E4se &lt;1&gt; &amp; \u20AC&#13;" + extra + "</Label>";
    // Before the section, the section as it is and as it must become, after it.
    const struct {
        const char* name;
        std::string before, section, expected, after;
        bool wineRefuses = false;  // wine's reader rejects the undeclared entity: the file is kept as it was
    } styles[] = {
        {"the host's sample, section missing", sample, "", "<TRELVO40>" + written + label + "</TRELVO40>", sampleEnd},
        {"CR LF, quotes, references, spaced end tags, one '/>' in a comment",
         "\r\n<profile>\r\n  <Preferences units='mm' sep=\"a&#9;b\">\r\n    <Name>Fr\u00E4se \u65E5 &#8364; &quot;q&quot; "
         "&apos;a&apos;&#13;</Name >\r\n    <E></E>\r\n  </Preferences >\r\n  <!-- keep <X/> -->\r\n  ",
         "<TRELVO40>\r\n    <ExpandedMode>1</ExpandedMode>\r\n    <Other>x</Other>\r\n  </TRELVO40>",
         "<TRELVO40>\r\n    " + written + "\r\n    <Other>x</Other>\r\n    " + label + "\r\n  </TRELVO40>",
         "\r\n  <After a='1'></After>\r\n</profile>\r\n"},
        {"tab-indented, DTD, processing instruction, CDATA, section missing",
         "\n<!DOCTYPE profile [<!ATTLIST profile v CDATA \"1\">]>\n<?host keep?>\n<profile>\n\t<A><![CDATA[<raw> & ]]></A>\n"
         "\t<B/>",
         "", "\n\t<TRELVO40>" + written + label + "</TRELVO40>", "\n</profile>\n"},
        {"an external DTD's entity, outside the section and in a key of it",
         "<!DOCTYPE profile SYSTEM \"mach3.dtd\"><profile><Host>&ext;</Host>",
         "<TRELVO40><DebugLogFile>&ext;</DebugLogFile></TRELVO40>",
         "<TRELVO40><DebugLogFile>&ext;</DebugLogFile>" + written + label + "</TRELVO40>", "</profile>", true},
        {"empty-element section", "<profile>", "<TRELVO40/>", "<TRELVO40>" + written + label + "</TRELVO40>",
         "<Z></Z></profile>"},
        // The parser is given a large file in pieces: tags cut between them, the section far past the first.
        {"the section past the parser's first pieces", "<profile>" + Repeated("<P>x</P>", 20000), "<TRELVO40><A/></TRELVO40>",
         "<TRELVO40><A/>" + written + label + "</TRELVO40>", "</profile>"},
        // Distinct names, so fresh parsers take over in another element and in the section, both
        // still open, their start tags with attributes.
        {"the section among more element names than one parser takes",
         "<profile v='1'><Tools n=\"2\">" + Distinct("T", 3 * kPerParser) + "</Tools >",
         "<TRELVO40 a='&lt;'>" + Distinct("K", 2 * kPerParser) + "<ExpandedMode>1</ExpandedMode></TRELVO40>",
         "<TRELVO40 a='&lt;'>" + Distinct("K", 2 * kPerParser) + written + label + "</TRELVO40>",
         Distinct("Z", kPerParser) + "</profile>"},
    };
    for (const Encoding& e : encodings) {
        const std::string declaration =
            *e.declared ? std::string("<?xml version=\"1.0\" encoding=\"") + e.declared + "\"?>" : std::string();
        for (const auto& style : styles) {
            SCOPED_TRACE(std::string(e.name) + ", " + style.name);
            const std::string original = e.encode(Chars(declaration + style.before + style.section + style.after));
            const std::string saved = AfterStore(original, [&](CXmlProfile& s) {
                s.ReadString(kSection, "DebugLogFile", "");  // a key holding only a reference is not empty
                s.WriteInt(kSection, "ExpandedMode", 0);
                s.WriteString(kSection, "Label", NarrowOf("Fr\u00E4se <1> & \u20AC\r" + extra));
            });
            if (style.wineRefuses && testsupport::UnderWine() && saved == original) continue;
            EXPECT_EQ(FirstDifference(saved, e.encode(Chars(declaration + style.before + style.expected + style.after))), "");
            CXmlProfile again(profile_.string());
            // Wine's SAX reader hands a referenced CR over as a line feed; the file holds the reference.
            const std::string cr = testsupport::UnderWine() ? "\n" : "\r";
            EXPECT_EQ(again.ReadString(kSection, "Label", ""), NarrowOf("Fr\u00E4se <1> & \u20AC" + cr + extra));
        }
    }
}

// Another program changes the file between the load and the save: what it wrote stays, also inside
// the section, but for the keys this store wrote. A file that is no longer a profile is left alone.
TEST_F(ProfileStoreTest, SaveKeepsAnotherWritersChanges) {
    const std::string original =
        "<profile><Preferences><A>1</A></Preferences><TRELVO40><ExpandedMode>1</ExpandedMode><IdleDelay></IdleDelay>"
        "<DemoMode>0</DemoMode></TRELVO40></profile>";
    const struct {
        const char* name;
        std::function<void()> change;
        const char* expected;  // null: the save is refused and the path left as the change made it
        const char* reason = "";  // the start of the refusal's reason
        bool absentAtLoad = false;
    } cases[] = {
        {"new file renamed over it, our keys changed too",
         [&] {
             WriteFile(dir_ / "new.xml",
                       "<profile><Preferences><A>2</A><New/></Preferences><TRELVO40><DemoMode>1</DemoMode>"
                       "<IdleDelay>7</IdleDelay><ExpandedMode>1</ExpandedMode></TRELVO40><Added>x</Added></profile>");
             fs::rename(dir_ / "new.xml", profile_);
         },
         "<profile><Preferences><A>2</A><New/></Preferences><TRELVO40><DemoMode>1</DemoMode><IdleDelay>7</IdleDelay>"
         "<ExpandedMode>0</ExpandedMode></TRELVO40><Added>x</Added></profile>"},
        {"section taken out", [&] { WriteFile(profile_, "<Mach3><Preferences/></Mach3>\n"); },
         "<Mach3><Preferences/><TRELVO40><ExpandedMode>0</ExpandedMode></TRELVO40></Mach3>\n"},
        {"gone", [&] { fs::remove(profile_); }, nullptr},
        {"no longer well-formed", [&] { WriteFile(profile_, "<profile><TRELVO40>"); }, nullptr},
        {"a folder now", [&] { fs::remove(profile_); fs::create_directory(profile_); }, nullptr},
        // Missing at the load: one made since, read-only, is another program's.
        {"created read-only between load and save",
         [&] {
             WriteFile(profile_, "<profile/>");
             fs::permissions(profile_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
         },
         nullptr, "another program changed the file meanwhile", true},
    };
    // A read-only file (the read-only attribute on Windows) is made writable before it goes.
    const auto clear = [&] {
        std::error_code ec;
        fs::permissions(profile_, fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(profile_);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        if (!c.absentAtLoad) WriteFile(profile_, original);
        CXmlProfile store(profile_.string());
        EXPECT_EQ(store.ReadString(kSection, "IdleDelay", "none"), "none");
        store.WriteInt(kSection, "ExpandedMode", 0);
        c.change();
        const bool wasFile = fs::is_regular_file(profile_);
        const std::string changed = wasFile ? ReadFile(profile_) : "";
        std::string reason;
        EXPECT_EQ(store.Save(reason), c.expected != nullptr) << reason;
        if (c.expected != nullptr) {
            EXPECT_EQ(ReadFile(profile_), c.expected);
        } else {
            EXPECT_FALSE(reason.empty());
            EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
            EXPECT_TRUE(FolderEntries().size() <= 1) << "no temporary file written";
            EXPECT_EQ(fs::is_regular_file(profile_), wasFile);
            if (wasFile) {
                EXPECT_EQ(ReadFile(profile_), changed);
            }
        }
    }
    clear();
}

// A release whose bytes would be the file's own writes nothing: the file is not even touched.
TEST_F(ProfileStoreTest, CancelledDialogWritesNothing) {
    const std::string original = testsupport::ProfileWithSettings({{"ExpandedMode", "1"}});
    WriteFile(profile_, original);
    fs::last_write_time(profile_, fs::file_time_type::clock::now() - std::chrono::hours(1));
    const auto before = fs::last_write_time(profile_);
    { CXmlProfile store(profile_.string()); }
    EXPECT_EQ(fs::last_write_time(profile_), before);
    EXPECT_EQ(ReadFile(profile_), original);
}

TEST_F(ProfileStoreTest, UnparseableFileIsNeverOverwritten) {
    const std::string many = Distinct("T", 2 * kPerParser);
    std::vector<std::string> cases = {
        "<profile><TRELVO40><ExpandedMode>1</ExpandedMode></TRELVO40>",  // cut short
        "not xml at all",
        "<profile/><profile/>",
        "stray text<profile/>",
        "<!-- only a comment -->",
        "<profile><a></b></profile>",
        // Past where fresh parsers took over: the faults of a whole document are still seen.
        "<profile><A><B>" + many + "</A></B></profile>",
        "<profile><A>" + many + "</A></profile><profile/>",
        "<profile>" + many + "</profile>x",
        "<profile>" + many + "<a b='1' b='2'/></profile>",
        "<profile>" + many + "<a>&nope;</a></profile>",
        "<profile>" + many + "<a>]]></a></profile>",
        // Encodings that cannot be edited by their bytes: refused, never rewritten.
        "<?xml version=\"1.0\" encoding=\"ISO-2022-JP\"?><profile><A>ascii so far</A></profile>",
        "<?xml version=\"1.0\" encoding=\"GB18030\"?><profile><A>ascii so far</A></profile>",
        // A UTF-8 mark with another encoding declared: read as UTF-8, written as neither.
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1252\"?><profile><A>caf\xC3\xA9</A></profile>",
    };
    // Cut short just past the end tag where a fresh parser takes over: the file's end is still heard.
    for (int n = kPerParser - 3; n <= kPerParser; ++n) {
        cases.push_back("<profile><A>" + Distinct("T", n));
    }
    for (const std::string& content : cases) {
        SCOPED_TRACE(content.substr(0, 60) + (content.size() > 60 ? "... of " + std::to_string(content.size()) + " bytes" : ""));
        const std::string saved = AfterStore(content, [](CXmlProfile& s) {
            EXPECT_EQ(s.ReadInt(kSection, "ExpandedMode", 2), 2);
            EXPECT_TRUE(s.WriteInt(kSection, "ExpandedMode", 0));
            EXPECT_EQ(s.ReadInt(kSection, "ExpandedMode", 2), 0);  // held in memory
            EXPECT_TRUE(s.WriteString(kSection, "F", "x"));
        });
        EXPECT_EQ(FirstDifference(saved, content), "");
        EXPECT_EQ(FolderEntries(), std::vector<std::string>{"profile.xml"});
    }
}

#if defined(_WIN32)
TEST_F(ProfileStoreTest, UnreadableFileIsNeverOverwritten) {
    const std::string original = "<profile><A>1</A></profile>";
    WriteFile(profile_, original);
    {
        // Another program holds the file open and shares it with nobody.
        HANDLE lock = CreateFileA(profile_.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        {
            CXmlProfile store(profile_.string());
            EXPECT_EQ(store.ReadInt("A", "B", 4), 4);
            store.WriteInt(kSection, "K", 1);
        }
        CloseHandle(lock);
    }
    EXPECT_EQ(ReadFile(profile_), original);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"profile.xml"});
}
#endif

// Each hook fails in turn; the profile must come out as it went in and the temporary file must go.
namespace faults {
int writes = 0;
size_t HalfWrite(void* file, const void* data, size_t size) {
    if (++writes == 1) {
        const size_t half = size / 2;
        return std::fwrite(data, 1, half, static_cast<FILE*>(file));
    }
    return 0;
}
int FailCreate(const char*, std::string&, platform::FileIdentity&, void**) { return EACCES; }
int FailCommit(void* file, const platform::FileFacts&) {
    std::fclose(static_cast<FILE*>(file));
    return EIO;
}
int FailReplace(const char*, const char*) { return EXDEV; }
}  // namespace faults

TEST_F(ProfileStoreTest, FailedSaveLeavesOldProfileAndNoTemporaryFile) {
    const struct {
        const char* name;
        std::function<void(platform::FileIo&)> inject;
    } cases[] = {
        {"open of the temporary file fails", [](platform::FileIo& io) { io.createTemp = faults::FailCreate; }},
        {"write stops half way", [](platform::FileIo& io) { io.write = faults::HalfWrite; }},
        {"flush or close reports an error", [](platform::FileIo& io) { io.commit = faults::FailCommit; }},
        {"rename fails", [](platform::FileIo& io) { io.replace = faults::FailReplace; }},
    };
    const std::string original = testsupport::ProfileWithSettings({{"ExpandedMode", "2"}});
    for (const auto& c : cases) {
        platform::ResetFileIo();
        faults::writes = 0;
        c.inject(platform::fileIo());
        const std::string saved = AfterStore(original, [](CXmlProfile& s) {
            s.WriteInt(kSection, "ExpandedMode", 0);
            s.WriteInt(kSection, "EnableSpindle", 1);
        });
        EXPECT_EQ(saved, original) << c.name;
        EXPECT_EQ(FolderEntries(), std::vector<std::string>{"profile.xml"}) << c.name;
    }
    platform::ResetFileIo();
    const std::string saved = AfterStore(original, [](CXmlProfile& s) { s.WriteInt(kSection, "ExpandedMode", 0); });
    EXPECT_NE(saved.find("<ExpandedMode>0</ExpandedMode>"), std::string::npos);  // the hooks were the cause
}

#if defined(_WIN32)
TEST_F(ProfileStoreTest, ProfileHeldOpenByAnotherProgramIsLeftAsItWas) {
    const std::string original = "<profile><A>1</A></profile>";
    WriteFile(profile_, original);
    auto store = std::make_unique<CXmlProfile>(profile_.string());
    store->WriteInt(kSection, "K", 1);
    // Opened without delete sharing, as an editor might hold it: it cannot be replaced now.
    HANDLE held = CreateFileA(profile_.string().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    store.reset();
    CloseHandle(held);
    EXPECT_EQ(ReadFile(profile_), original);
    // Wine's ReplaceFile leaves its own backup (rf*.tmp) behind when it fails; Windows' does not.
    std::vector<std::string> entries = FolderEntries();
    if (testsupport::UnderWine()) std::erase_if(entries, [](const std::string& n) { return n.rfind("rf", 0) == 0; });
    EXPECT_EQ(entries, std::vector<std::string>{"profile.xml"});
}
// POSIX: unreadable files and read-only folders are cases of the hardening save-path table.
#endif

}  // namespace

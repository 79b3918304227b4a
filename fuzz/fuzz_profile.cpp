// Arbitrary bytes as the host's profile, then reads and writes: no crash, unparseable files kept, writes round-trip.
#include <fuzzer/FuzzedDataProvider.h>
#include <pugixml.hpp>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>

#include "host/plugin_state.h"
#include "profile/xml_profile.h"

namespace {

const char* const kSections[] = {"TRELVO40", "Preferences", "profile", "Mach3Mill", "A"};
const char* const kKeys[] = {"ExpandedMode", "EnableSpindle", "Units", "Profile", "Output13Pin", "B"};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string g_original, g_after;  // shown with a finding

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_profile invariant broken: %s\nfile before (%zu bytes): %.300s\nfile after (%zu bytes): %.300s\n",
                 what, g_original.size(), g_original.c_str(), g_after.size(), g_after.c_str());
    std::abort();
}

bool Blank(const std::string& bytes) {
    return bytes.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The store's contract for a file it may rewrite: XML that pugixml reads, one root element, only
// white space and markup beside it, a declaration only in front. Anything else is the host's to keep.
bool SingleRootDocument(const std::string& bytes) {
    pugi::xml_document doc;
    const unsigned options = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration |
                             pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype | pugi::parse_fragment;
    if (!doc.load_buffer(bytes.data(), bytes.size(), options)) return false;
    int elements = 0;
    bool first = true;
    for (pugi::xml_node node : doc.children()) {
        switch (node.type()) {
        case pugi::node_element: ++elements; break;
        case pugi::node_pcdata:
            if (!Blank(node.value())) return false;
            break;
        case pugi::node_declaration:
            if (!first) return false;
            break;
        case pugi::node_comment:
        case pugi::node_pi:
        case pugi::node_doctype: break;
        default: return false;
        }
        first = false;
    }
    return elements == 1;
}

// Nothing but white space (in any encoding pugixml knows): nothing in it to lose.
bool NothingToLose(const std::string& bytes) {
    pugi::xml_document doc;
    if (!doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration | pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype | pugi::parse_fragment))
        return false;
    for (pugi::xml_node node : doc.children()) {
        if (node.type() != pugi::node_pcdata || !Blank(node.value())) return false;
    }
    return true;
}

// Printable text, never empty: an empty value reads back as "remove the key".
std::string Value(FuzzedDataProvider& in) {
    std::string text = in.ConsumeRandomLengthString(24);
    for (char& c : text) c = static_cast<char>(0x20 + static_cast<unsigned char>(c) % 95);
    return text.empty() ? std::string("v") : text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("trelvo-fuzz-profile-" + std::to_string(getpid()) + ".xml")).string();
    FuzzedDataProvider in(data, size);

    // The operations come from the end of the input, the file is what is left at the front.
    struct Op {
        uint8_t kind, section, key;
        int32_t number;
    };
    Op ops[16];
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < count; ++i) {
        ops[i] = {in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(),
                  in.ConsumeIntegral<int32_t>()};
    }
    const std::string original = in.ConsumeRemainingBytesAsString();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(original.data(), static_cast<std::streamsize>(original.size()));
    }

    ResetPluginState();
    plugin().id.ProfilePath = path;
    struct Written {
        std::string text;
        bool asInt;
    };
    std::map<std::pair<std::string, std::string>, Written> written;
    FuzzedDataProvider values(data, size);  // text for string writes: the input again, read differently
    {
        CXmlProfile store;
        for (size_t i = 0; i < count; ++i) {
            const std::string section = kSections[ops[i].section % std::size(kSections)];
            const std::string key = kKeys[ops[i].key % std::size(kKeys)];
            switch (ops[i].kind % 4) {
            case 0: {
                const int32_t got = store.ReadInt(section, key, ops[i].number);
                auto it = written.find({section, key});
                if (it != written.end() && it->second.asInt && std::to_string(got) != it->second.text)
                    Fail("ReadInt disagrees with the value written in this session");
                break;
            }
            case 1: {
                const std::string got = store.ReadString(section, key, "default");
                auto it = written.find({section, key});
                if (it != written.end() && got != it->second.text) Fail("ReadString disagrees with this session's write");
                break;
            }
            case 2:
                store.WriteInt(section, key, ops[i].number);
                written[{section, key}] = {std::to_string(ops[i].number), true};
                break;
            case 3: {
                const std::string text = Value(values);
                store.WriteString(section, key, text);
                written[{section, key}] = {text, false};
                break;
            }
            }
        }
    }
    const std::string after = ReadAll(path);
    g_original = original;
    g_after = after;

    const bool fresh = NothingToLose(original);
    const bool parseable = SingleRootDocument(original);
    if (!fresh && !parseable && after != original) Fail("a file the store may not rewrite was changed");
    if (after != original && after.empty()) Fail("the profile was emptied");
    if (after != original && !SingleRootDocument(after)) Fail("the saved profile is not one XML document");

    // What was written reads back from a new store over the saved file.
    if ((fresh || parseable) && !written.empty()) {
        ResetPluginState();
        plugin().id.ProfilePath = path;
        CXmlProfile again;
        for (const auto& [where, value] : written) {
            if (again.ReadString(where.first, where.second, "\x01missing") != value.text) {
                std::fprintf(stderr, "[%s] %s = '%s'\n", where.first.c_str(), where.second.c_str(), value.text.c_str());
                Fail("a write did not round-trip");
            }
        }
    }
    std::remove((path + ".trelvo-tmp").c_str());
    return 0;
}

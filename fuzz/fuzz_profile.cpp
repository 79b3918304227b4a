// Arbitrary bytes as the host's profile, then reads and writes: no crash, unparseable files kept, bytes outside the edited sections kept, writes round-trip.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "mach3/plugin_state.h"
#include "mach3/profile/xml_profile.h"
#include "platform/xml_document.h"

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

enum class Kind { Fresh, Profile, Kept };

// What the store may do with a file: create it anew, edit its sections, or nothing at all.
Kind Classify(const std::string& bytes, platform::XmlMap& map) {
    if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) return Kind::Fresh;
    return platform::MapXml(bytes, nullptr, map) == 0 ? Kind::Profile : Kind::Kept;
}

// The bytes a save may change: the sections named, and where a new section goes.
std::pair<size_t, size_t> Editable(const platform::XmlMap& map, const std::set<std::string>& sections) {
    const platform::XmlElementBytes& root = map.root;
    if (root.emptyTag) return {root.begin, root.end};
    size_t lo = root.children.empty() ? root.contentBegin : root.children.back().end, hi = root.contentEnd;
    for (const std::string& name : sections) {
        for (const auto& section : root.children) {
            if (section.name != name) continue;
            lo = std::min(lo, section.begin);
            hi = std::max(hi, section.end);
            break;
        }
    }
    return {lo, hi};
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

    platform::XmlMap map;
    const Kind before = Classify(original, map);
    ResetPluginState();
    struct Written {
        std::string text;
        bool asInt;
    };
    std::map<std::pair<std::string, std::string>, Written> written;
    std::set<std::string> touched;
    FuzzedDataProvider values(data, size);  // text for string writes: the input again, read differently
    {
        CXmlProfile store(path);
        for (size_t i = 0; i < count; ++i) {
            const std::string section = kSections[ops[i].section % std::size(kSections)];
            const std::string key = kKeys[ops[i].key % std::size(kKeys)];
            touched.insert(section);
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

    const bool fresh = before == Kind::Fresh;
    const bool parseable = before == Kind::Profile;
    if (!fresh && !parseable && after != original) Fail("a file the store may not rewrite was changed");
    if (after != original && after.empty()) Fail("the profile was emptied");
    platform::XmlMap saved;
    if (after != original && Classify(after, saved) != Kind::Profile) Fail("the saved profile is not one XML document");
    if (parseable) {
        const auto [lo, hi] = Editable(map, touched);
        if (after.compare(0, lo, original, 0, lo) != 0) Fail("bytes before the edited sections changed");
        const size_t tail = original.size() - hi;
        if (after.size() < tail || after.compare(after.size() - tail, tail, original, hi, tail) != 0)
            Fail("bytes after the edited sections changed");
    }

    // What was written reads back from a new store over the saved file.
    if ((fresh || parseable) && !written.empty()) {
        ResetPluginState();
        CXmlProfile again(path);
        for (const auto& [where, value] : written) {
            if (again.ReadString(where.first, where.second, "\x01missing") != value.text) {
                std::fprintf(stderr, "[%s] %s = '%s'\n", where.first.c_str(), where.second.c_str(), value.text.c_str());
                Fail("a write did not round-trip");
            }
        }
    }
    std::remove(path.c_str());
    return 0;
}

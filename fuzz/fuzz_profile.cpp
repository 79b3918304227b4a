// Arbitrary bytes as the host's profile, then reads and writes: no crash, unparseable files kept, writes round-trip.
#include <fuzzer/FuzzedDataProvider.h>
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
#include "platform/xml_document.h"
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

// How the store's document reads a file: the store may rewrite a Loaded or Missing one only (an
// Unwritable one is read but kept).
platform::XmlLoadResult Classify(const std::string& path) {
    const auto document = platform::CreateXmlDocument();
    return document ? document->Load(path) : platform::XmlLoadResult::Unparseable;
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

    const platform::XmlLoadResult before = Classify(path);
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

    const bool fresh = before == platform::XmlLoadResult::Missing;
    const bool parseable = before == platform::XmlLoadResult::Loaded;
    if (!fresh && !parseable && after != original) Fail("a file the store may not rewrite was changed");
    if (after != original && after.empty()) Fail("the profile was emptied");
    if (after != original && Classify(path) != platform::XmlLoadResult::Loaded)
        Fail("the saved profile is not one XML document");

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
    std::remove(path.c_str());
    return 0;
}

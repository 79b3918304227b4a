// The profile around a run: the private copy, settings through the plug-in's own store, the host's wiring.
#include "profile_setup.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "host/plugin_state.h"
#include "host/settings.h"
#include "host_os.h"
#include "platform/file_io.h"
#include "platform/xml_document.h"
#include "profile/xml_profile.h"

#ifdef _WIN32
#include <cctype>
#include <cstdlib>
#else
#include <pugixml.hpp>
#endif

namespace sim {
namespace {

#ifdef _WIN32

std::unique_ptr<platform::XmlDocument> NewDocument() {
    std::unique_ptr<platform::XmlDocument> doc = platform::CreateXmlDocument();
    if (!doc) throw std::runtime_error("cannot create an XML document (is COM initialised?)");
    return doc;
}

// Reads a key the way pugixml's as_int does for what a host writes: decimal, or hex with 0x.
class Preferences {
public:
    Preferences(platform::XmlDocument& doc, platform::XmlElement prefs) : doc_(doc), prefs_(prefs) {}
    explicit operator bool() const { return prefs_ != nullptr; }
    int Key(const std::string& name) const {
        const platform::XmlElement node = doc_.FirstChild(prefs_, name);
        if (!node) return 0;
        const std::string text = doc_.Text(node);
        size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const bool negative = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        const bool hex = text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0;
        const long value = std::strtol(text.c_str() + i + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
        return static_cast<int>(negative ? -value : value);
    }

private:
    platform::XmlDocument& doc_;
    platform::XmlElement prefs_;
};

#else

// The host saves a missing key as nothing at all; such a field stays 0.
class Preferences {
public:
    explicit Preferences(pugi::xml_node prefs) : prefs_(prefs) {}
    explicit operator bool() const { return static_cast<bool>(prefs_); }
    int Key(const std::string& name) const { return prefs_.child(name.c_str()).text().as_int(0); }

private:
    pugi::xml_node prefs_;
};

#endif

// Outputs and inputs keep the same four keys: {prefix}{i}Active, Port, Pin and Neg.
template <typename Signal>
void FillSignal(const Preferences& prefs, const std::string& p, Signal& signal) {
    signal.enabled = prefs.Key(p + "Active") != 0;
    signal.port = static_cast<int8_t>(prefs.Key(p + "Port"));
    signal.pin = static_cast<int8_t>(prefs.Key(p + "Pin"));
    signal.activeLow = prefs.Key(p + "Neg") != 0;
}

void FillWiring(const Preferences& prefs, HostEngineBlock& engine) {
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        FillSignal(prefs, "Output" + std::to_string(i), engine.outputs[i]);
    }
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        FillSignal(prefs, "Input" + std::to_string(i), engine.inputs[i]);
    }
    for (int i = 0; i < HOST_MOTOR_COUNT; ++i) {
        const std::string p = "Motor" + std::to_string(i);
        HostMotor& m = engine.motors[i];
        m.enabled = prefs.Key(p + "Active") != 0;
        m.stepPort = static_cast<int8_t>(prefs.Key(p + "StepPort"));
        m.dirPort = static_cast<int8_t>(prefs.Key(p + "DirPort"));
    }
    for (int i = 0; i < HOST_ENCODER_COUNT; ++i) {
        const std::string p = "Encoder" + std::to_string(i);
        HostEncoder& e = engine.encoders[i];
        e.enabled = prefs.Key(p + "Active") != 0;
        e.aPort = prefs.Key(p + "APort");
        e.aPin = prefs.Key(p + "APin");
        e.bPort = prefs.Key(p + "BPort");
        e.bPin = prefs.Key(p + "BPin");
    }
}

}  // namespace

namespace {

// The plug-in's store binds to the path in its state; this process has its own copy of that state.
class StoreOn {
public:
    explicit StoreOn(const std::string& path) { plugin().id.ProfilePath = path; }
    ~StoreOn() { plugin().id.ProfilePath.clear(); }
};

}  // namespace

std::string ReadUserFile(const std::string& what, const std::string& path) {
    std::string bytes;
    const int error = platform::fileIo().read(path.c_str(), platform::kMaxXmlFileBytes, bytes);
    if (error == 0) return bytes;
    std::string reason = platform::FileErrorText(error);
    if (error == platform::FILEIO_TOO_LARGE)
        reason += " (over " + std::to_string(platform::kMaxXmlFileBytes >> 20) + " MiB, the most the plug-in reads)";
    throw std::runtime_error("cannot read " + what + " " + path + ": " + reason);
}

ProfileCopy::ProfileCopy(const std::string& source) {
    namespace fs = std::filesystem;
    // Read once, through the plug-in's own file layer: the copy is what the plug-in would have read.
    const std::string bytes = source.empty() ? std::string() : ReadUserFile("profile", source);
    empty_ = !source.empty() && bytes.empty();
    folder_ = CreateTempFolder();
    const std::string name = source.empty() ? "profile.xml" : fs::path(source).filename().string();
    path_ = (fs::path(folder_) / name).string();
    std::ofstream out(path_, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
        throw std::runtime_error("cannot write the copy of the profile to " + path_);
    }
}

ProfileCopy::~ProfileCopy() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

void ProfileCopy::WriteSettings(const SettingList& settings) const {
    if (settings.empty()) return;
    const StoreOn bind(path_);
    CXmlProfile store;  // saved when it goes, as the plug-in's stores are
    for (const auto& [key, value] : settings) store.WriteString(kProfileSection, key, value);
}

int ProfileCopy::ReadSetting(const std::string& key, int defaultValue) const {
    const StoreOn bind(path_);
    CXmlProfile store;
    return store.ReadInt(kProfileSection, key, defaultValue);
}

// An existing file is written over, so it keeps its mode and owner; a new one is made as a copy.
void ProfileCopy::SaveAs(const std::string& target) const {
    std::error_code ec;
    if (!std::filesystem::exists(target, ec)) {
        std::filesystem::copy_file(path_, target, ec);
        if (ec) throw std::runtime_error("cannot write " + target + ": " + ec.message());
        return;
    }
    std::ifstream in(path_, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!in || !out) throw std::runtime_error("cannot write " + target);
}

namespace {

// A well-formed file that is not the host's profile would read as a machine with nothing wired.
void RequireHostProfile(const std::string& shownAs, const std::string& root, bool hasPreferences) {
    if (root != "profile")
        throw std::runtime_error(shownAs + " is not a host profile: its root element is <" + root + ">, not <profile>");
    if (!hasPreferences)
        throw std::runtime_error(shownAs + " is not a host profile: it has no Preferences element");
}

}  // namespace

#ifdef _WIN32

void LoadPreferencesWiring(const std::string& path, const std::string& shownAs, HostEngineBlock& engine) {
    const std::unique_ptr<platform::XmlDocument> doc = NewDocument();
    const platform::XmlLoadResult loaded = doc->Load(path);
    if (loaded == platform::XmlLoadResult::Unparseable) throw std::runtime_error("cannot parse profile " + shownAs);
    const Preferences prefs(*doc, doc->FirstChild(doc->Root(), "Preferences"));
    RequireHostProfile(shownAs, doc->Name(doc->Root()), static_cast<bool>(prefs));
    FillWiring(prefs, engine);
}

#else

void LoadPreferencesWiring(const std::string& path, const std::string& shownAs, HostEngineBlock& engine) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_file(path.c_str());
    if (!parsed) throw std::runtime_error("cannot parse profile " + shownAs + ": " + parsed.description());
    const Preferences prefs(doc.document_element().child("Preferences"));
    RequireHostProfile(shownAs, doc.document_element().name(), static_cast<bool>(prefs));
    FillWiring(prefs, engine);
}

#endif

}  // namespace sim

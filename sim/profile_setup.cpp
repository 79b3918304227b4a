// Profile reading and writing for the simulator: pugixml on POSIX, the plug-in's own MSXML document on Windows.
#include "profile_setup.h"

#include <filesystem>
#include <stdexcept>

#ifdef _WIN32
#include <cctype>
#include <cstdlib>

#include "platform/xml_document.h"
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

#ifdef _WIN32

void WriteSettings(const std::string& path, const std::vector<std::pair<std::string, std::string>>& settings) {
    if (settings.empty()) return;
    const std::unique_ptr<platform::XmlDocument> doc = NewDocument();
    if (doc->Load(path) == platform::XmlLoadResult::Unparseable) throw std::runtime_error("cannot read profile " + path);
    platform::XmlElement root = doc->Root();
    if (!root) root = doc->AppendElement(nullptr, "profile");
    platform::XmlElement section = doc->FirstChild(root, "TRELVO40");
    if (!section) section = doc->AppendElement(root, "TRELVO40");
    for (const auto& [key, value] : settings) {
        platform::XmlElement node = doc->FirstChild(section, key);
        if (!node) node = doc->AppendElement(section, key);
        doc->SetText(node, value);
    }
    if (!doc->Save(path)) throw std::runtime_error("cannot write profile " + path);
}

bool LoadPreferencesWiring(const std::string& path, HostEngineBlock& engine) {
    const std::unique_ptr<platform::XmlDocument> doc = NewDocument();
    if (doc->Load(path) != platform::XmlLoadResult::Loaded) return false;
    const Preferences prefs(*doc, doc->FirstChild(doc->Root(), "Preferences"));
    if (!prefs) return false;
    FillWiring(prefs, engine);
    return true;
}

#else

void WriteSettings(const std::string& path, const std::vector<std::pair<std::string, std::string>>& settings) {
    if (settings.empty()) return;
    pugi::xml_document doc;
    if (std::filesystem::exists(path) && std::filesystem::file_size(path) > 0) {
        const pugi::xml_parse_result parsed = doc.load_file(path.c_str(), pugi::parse_default | pugi::parse_declaration);
        if (!parsed) throw std::runtime_error("cannot read profile " + path + ": " + parsed.description());
    }
    pugi::xml_node root = doc.document_element();
    if (!root) root = doc.append_child("profile");
    pugi::xml_node section = root.child("TRELVO40");
    if (!section) section = root.append_child("TRELVO40");
    for (const auto& [key, value] : settings) {
        pugi::xml_node node = section.child(key.c_str());
        if (!node) node = section.append_child(key.c_str());
        node.text().set(value.c_str());
    }
    if (!doc.save_file(path.c_str(), "", pugi::format_raw | pugi::format_no_declaration))
        throw std::runtime_error("cannot write profile " + path);
}

bool LoadPreferencesWiring(const std::string& path, HostEngineBlock& engine) {
    pugi::xml_document doc;
    if (!doc.load_file(path.c_str())) return false;
    const Preferences prefs(doc.document_element().child("Preferences"));
    if (!prefs) return false;
    FillWiring(prefs, engine);
    return true;
}

#endif

}  // namespace sim

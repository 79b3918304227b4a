// Profile reading and writing for the simulator, through pugixml.
#include "profile_setup.h"

#include <pugixml.hpp>

#include <filesystem>
#include <stdexcept>

namespace sim {
namespace {

// The host saves a missing key as nothing at all; such a field stays 0.
int Key(const pugi::xml_node& prefs, const std::string& name) { return prefs.child(name.c_str()).text().as_int(0); }

}  // namespace

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
    const pugi::xml_node prefs = doc.document_element().child("Preferences");
    if (!prefs) return false;
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        const std::string p = "Output" + std::to_string(i);
        HostOutputSignal& out = engine.outputs[i];
        out.enabled = Key(prefs, p + "Active") != 0;
        out.port = static_cast<int8_t>(Key(prefs, p + "Port"));
        out.pin = static_cast<int8_t>(Key(prefs, p + "Pin"));
        out.activeLow = Key(prefs, p + "Neg") != 0;
    }
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        const std::string p = "Input" + std::to_string(i);
        HostInputSignal& in = engine.inputs[i];
        in.enabled = Key(prefs, p + "Active") != 0;
        in.port = static_cast<int8_t>(Key(prefs, p + "Port"));
        in.pin = static_cast<int8_t>(Key(prefs, p + "Pin"));
        in.activeLow = Key(prefs, p + "Neg") != 0;
    }
    for (int i = 0; i < HOST_MOTOR_COUNT; ++i) {
        const std::string p = "Motor" + std::to_string(i);
        HostMotor& m = engine.motors[i];
        m.enabled = Key(prefs, p + "Active") != 0;
        m.stepPort = static_cast<int8_t>(Key(prefs, p + "StepPort"));
        m.dirPort = static_cast<int8_t>(Key(prefs, p + "DirPort"));
    }
    for (int i = 0; i < HOST_ENCODER_COUNT; ++i) {
        const std::string p = "Encoder" + std::to_string(i);
        HostEncoder& e = engine.encoders[i];
        e.enabled = Key(prefs, p + "Active") != 0;
        e.aPort = Key(prefs, p + "APort");
        e.aPin = Key(prefs, p + "APin");
        e.bPort = Key(prefs, p + "BPort");
        e.bPin = Key(prefs, p + "BPin");
    }
    return true;
}

}  // namespace sim

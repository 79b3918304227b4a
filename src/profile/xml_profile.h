// CXmlProfile: the settings store over the host's XML profile file, alive for one host call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/xml_document.h"

class CXmlProfile {
public:
    // Binds to the file named by ProfilePath and loads it.
    CXmlProfile();
    // Saves the document unless Save already ran, then drops it.
    virtual ~CXmlProfile();

    CXmlProfile(const CXmlProfile&) = delete;
    CXmlProfile& operator=(const CXmlProfile&) = delete;

    int32_t ReadInt(const std::string& section, const std::string& key, int32_t defaultValue);
    std::string ReadString(const std::string& section, const std::string& key, std::string defaultValue);
    bool WriteInt(const std::string& section, const std::string& key, int32_t value);
    bool WriteString(const std::string& section, const std::string& key, std::string value);
    // Saves the whole document once; false with the reason when the file was left as it was. A file
    // that could not be read or parsed, or could not be written back unchanged, is never saved over.
    bool Save(std::string& reason) noexcept;
    // True once a write has changed the document: the user asked for something to be stored.
    bool HasWrites() const noexcept { return written_; }

private:
    platform::XmlElement FindKey(const std::string& section, const std::string& key);
    platform::XmlElement FindOrCreateKey(const std::string& section, const std::string& key);
    void Load() noexcept;
    int Write();

    std::unique_ptr<platform::XmlDocument> document_;
    std::string path_;
    int keepReason_ = 0;  // why the file there must not be overwritten; 0 when it may be
    bool written_ = false;
    bool saved_ = false;
};

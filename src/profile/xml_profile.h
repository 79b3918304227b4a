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
    // Saves the document (never over a file that could not be parsed), then drops it.
    virtual ~CXmlProfile();

    CXmlProfile(const CXmlProfile&) = delete;
    CXmlProfile& operator=(const CXmlProfile&) = delete;

    int32_t ReadInt(const std::string& section, const std::string& key, int32_t defaultValue);
    std::string ReadString(const std::string& section, const std::string& key, std::string defaultValue);
    bool WriteInt(const std::string& section, const std::string& key, int32_t value);
    bool WriteString(const std::string& section, const std::string& key, std::string value);

private:
    platform::XmlElement FindKey(const std::string& section, const std::string& key);
    platform::XmlElement FindOrCreateKey(const std::string& section, const std::string& key);
    void Save() noexcept;

    std::unique_ptr<platform::XmlDocument> document_;
    std::string path_;
    bool keepFile_ = false;  // the file exists but did not parse: never overwrite it
};

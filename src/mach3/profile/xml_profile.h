// CXmlProfile: the settings store over the host's XML profile file, alive for one host call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mach3/profile/profile_splice.h"
#include "platform/xml_document.h"

// The leading number of a key's text, as the host's own profile readers take it; too large saturates.
int32_t LeadingInt(const std::string& text);

class CXmlProfile {
public:
    // Binds to the profile file at this path and reads its settings.
    explicit CXmlProfile(std::string path);
    // Saves the document unless Save already ran, then drops it.
    virtual ~CXmlProfile();

    CXmlProfile(const CXmlProfile&) = delete;
    CXmlProfile& operator=(const CXmlProfile&) = delete;

    int32_t ReadInt(const std::string& section, const std::string& key, int32_t defaultValue);
    std::string ReadString(const std::string& section, const std::string& key, std::string defaultValue);
    bool WriteInt(const std::string& section, const std::string& key, int32_t value);
    bool WriteString(const std::string& section, const std::string& key, std::string value);
    // Saves once: this store's writes and removals go into the file as it is now, into its own
    // section's bytes only. False with the reason when the file was left as it was: one that is gone,
    // cannot be read or is not well-formed now is never saved over.
    bool Save(std::string& reason) noexcept;
    // True once a write has changed the document: the user asked for something to be stored.
    bool HasWrites() const noexcept { return written_; }

private:
    const std::string* FindText(const std::string& section, const std::string& key);
    bool Mapped(const std::string& section) const;
    std::string ReadText(const std::string& section, const std::string& key, bool& found);
    void Load() noexcept;
    int Write(std::string& why);

    std::string bytes_;        // the file as loaded
    platform::XmlMap loaded_;  // and its map: the root's elements, and the keys of the sections below
    std::vector<std::string> mapped_;  // the sections whose keys loaded_ holds
    std::vector<ProfileEdit> edits_;  // what reads see over the file as loaded, and what the save applies
    std::string path_;
    bool existed_ = false;  // there was a file at the load: one gone at the save is not created anew
    bool written_ = false;
    bool saved_ = false;
    bool tornReported_ = false;  // the load told the user the file is cut short: a save with nothing to write says no more
};

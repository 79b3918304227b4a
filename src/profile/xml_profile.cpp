// The profile store: the host's XML profile read by section and key; a save rewrites only the edited sections.
#include "profile/xml_profile.h"

#include <algorithm>
#include <limits>

#include "host/plugin_state.h"
#include "platform/file_io.h"
#include "profile/profile_file.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading number of the text, as the host's own profile readers take it; too large saturates.
int32_t LeadingInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return static_cast<int32_t>(magnitude < kLimit ? magnitude : kLimit - 1);
}

bool IsBlankBytes(const std::string& bytes) { return bytes.find_first_not_of(" \t\r\n") == std::string::npos; }

platform::XmlElementBytes NewElement(const std::string& name) {
    platform::XmlElementBytes element;
    element.name = name;
    return element;
}

// What a file that is missing or holds nothing starts as.
const char kNewProfile[] = "<profile/>";

}  // namespace

CXmlProfile::CXmlProfile() : path_(plugin().id.ProfilePath) { Load(); }

CXmlProfile::~CXmlProfile() {
    std::string reason;
    Save(reason);
}

// A file that cannot be read or parsed reads as an empty profile; the save finds it again as it is then.
void CXmlProfile::Load() noexcept {
    try {
        std::string bytes;
        const int error = path_.empty() ? 0 : platform::fileIo().read(path_.c_str(), platform::kMaxXmlFileBytes, bytes);
        existed_ = !path_.empty() && !platform::IsMissingFile(error);
        if (error != 0 || IsBlankBytes(bytes) || platform::MapXml(bytes, {}, loaded_) != 0) {
            platform::MapXml(kNewProfile, {}, loaded_);
        }
    } catch (...) {
        loaded_ = platform::XmlMap{};
    }
}

platform::XmlElementBytes* CXmlProfile::FindKey(const std::string& section, const std::string& key) {
    for (platform::XmlElementBytes& s : loaded_.root.children) {
        if (s.name != section) continue;
        for (platform::XmlElementBytes& k : s.children) {
            if (k.name == key) return &k;
        }
        return nullptr;
    }
    return nullptr;
}

platform::XmlElementBytes& CXmlProfile::FindOrCreateKey(const std::string& section, const std::string& key) {
    if (platform::XmlElementBytes* found = FindKey(section, key)) return *found;
    auto& sections = loaded_.root.children;
    auto s = std::find_if(sections.begin(), sections.end(), [&](const auto& e) { return e.name == section; });
    if (s == sections.end()) s = sections.insert(sections.end(), NewElement(section));
    return s->children.emplace_back(NewElement(key));
}

// The key's text; an empty key is taken out of its section, here and at the save.
std::string CXmlProfile::ReadText(const std::string& section, const std::string& key, bool& found) {
    platform::XmlElementBytes* element = FindKey(section, key);
    found = element != nullptr && !element->text.empty();
    if (element == nullptr) return {};
    std::string text = element->text;
    if (!found) {
        for (platform::XmlElementBytes& s : loaded_.root.children) {
            if (s.name != section) continue;
            s.children.erase(s.children.begin() + (element - s.children.data()));
            break;
        }
        edits_.push_back({ProfileEdit::Remove, section, key, {}});
    }
    return text;
}

int32_t CXmlProfile::ReadInt(const std::string& section, const std::string& key, int32_t defaultValue) {
    bool found = false;
    const std::string text = ReadText(section, key, found);
    return found ? LeadingInt(text) : defaultValue;
}

std::string CXmlProfile::ReadString(const std::string& section, const std::string& key, std::string defaultValue) {
    bool found = false;
    std::string text = ReadText(section, key, found);
    return found ? text : defaultValue;
}

bool CXmlProfile::WriteInt(const std::string& section, const std::string& key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool CXmlProfile::WriteString(const std::string& section, const std::string& key, std::string value) {
    try {
        platform::XmlElementBytes& element = FindOrCreateKey(section, key);
        element.text = value;
        element.opaque = false;
        edits_.push_back({ProfileEdit::Write, section, key, std::move(value)});
        written_ = true;
    } catch (...) {
    }
    return true;
}

bool CXmlProfile::Save(std::string& reason) noexcept {
    if (saved_) return true;
    saved_ = true;
    if (path_.empty()) return true;
    try {
        const int error = Write();
        if (error == 0) return true;
        reason = platform::FileErrorText(error);
    } catch (...) {
        reason = platform::FileErrorText(platform::FILEIO_OUT_OF_MEMORY);
    }
    return false;
}

// The file is read again: what another program changed since the load is kept.
int CXmlProfile::Write() {
    std::string bytes;
    const int error = platform::fileIo().read(path_.c_str(), platform::kMaxXmlFileBytes, bytes);
    if (error != 0 && (existed_ || !platform::IsMissingFile(error))) return error;
    if (IsBlankBytes(bytes)) bytes = kNewProfile;
    std::vector<std::string> sections;
    for (const ProfileEdit& edit : edits_) {
        if (std::find(sections.begin(), sections.end(), edit.section) == sections.end()) sections.push_back(edit.section);
    }
    platform::XmlMap map;
    if (int refused = platform::MapXml(bytes, sections, map)) return refused;
    std::string spliced;
    if (int refused = SpliceProfile(bytes, map, edits_, spliced)) return refused;
    return ReplaceProfileFile(path_, spliced);
}

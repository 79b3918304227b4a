// The profile store: the host's XML profile loaded whole, edited by section and key, saved whole.
#include "profile/xml_profile.h"

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

}  // namespace

CXmlProfile::CXmlProfile() : path_(plugin().id.ProfilePath) {
    document_ = platform::CreateXmlDocument();
    if (!document_) return;
    Load();
    if (!document_->Root()) document_->AppendElement(nullptr, "profile");
}

CXmlProfile::~CXmlProfile() {
    std::string reason;
    Save(reason);
}

// Anything at the path that is there but cannot be read or parsed is the host's: it is kept, and
// the reason is what the save reports.
void CXmlProfile::Load() noexcept {
    if (path_.empty()) return;
    try {
        std::string bytes;
        const int error = platform::fileIo().read(path_.c_str(), platform::kMaxXmlFileBytes, bytes);
        if (error != 0) {
            if (!platform::IsMissingFile(error)) keepReason_ = error;
            return;
        }
        switch (document_->Parse(bytes)) {
        case platform::XmlLoadResult::Unparseable: keepReason_ = platform::FILEIO_NOT_WELL_FORMED; break;
        case platform::XmlLoadResult::Unwritable: keepReason_ = platform::FILEIO_NOT_REWRITABLE; break;
        default: break;
        }
    } catch (...) {
        keepReason_ = platform::FILEIO_OUT_OF_MEMORY;
    }
}

platform::XmlElement CXmlProfile::FindKey(const std::string& section, const std::string& key) {
    if (!document_) return nullptr;
    platform::XmlElement sectionElement = document_->FirstChild(document_->Root(), section);
    if (!sectionElement) return nullptr;
    return document_->FirstChild(sectionElement, key);
}

platform::XmlElement CXmlProfile::FindOrCreateKey(const std::string& section, const std::string& key) {
    platform::XmlElement root = document_->Root();
    platform::XmlElement sectionElement = document_->FirstChild(root, section);
    if (!sectionElement) {
        sectionElement = document_->AppendElement(root, section);
        return document_->AppendElement(sectionElement, key);
    }
    platform::XmlElement keyElement = document_->FirstChild(sectionElement, key);
    if (!keyElement) keyElement = document_->AppendElement(sectionElement, key);
    return keyElement;
}

int32_t CXmlProfile::ReadInt(const std::string& section, const std::string& key, int32_t defaultValue) {
    platform::XmlElement element = FindKey(section, key);
    if (!element) return defaultValue;
    const std::string text = document_->Text(element);
    if (text.empty()) {
        document_->RemoveFromParent(element);
        return defaultValue;
    }
    return LeadingInt(text);
}

std::string CXmlProfile::ReadString(const std::string& section, const std::string& key, std::string defaultValue) {
    platform::XmlElement element = FindKey(section, key);
    if (!element) return defaultValue;
    std::string text = document_->Text(element);
    if (text.empty()) {
        document_->RemoveFromParent(element);
        return defaultValue;
    }
    return text;
}

bool CXmlProfile::WriteInt(const std::string& section, const std::string& key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool CXmlProfile::WriteString(const std::string& section, const std::string& key, std::string value) {
    if (!document_) return true;
    written_ = true;
    platform::XmlElement element = FindOrCreateKey(section, key);
    if (element) document_->SetText(element, value);
    return true;
}

bool CXmlProfile::Save(std::string& reason) noexcept {
    if (saved_) return true;
    saved_ = true;
    if (!document_ || path_.empty()) return true;
    try {
        const int error = keepReason_ != 0 ? keepReason_ : Write();
        if (error == 0) return true;
        reason = platform::FileErrorText(error);
    } catch (...) {
        reason = platform::FileErrorText(platform::FILEIO_OUT_OF_MEMORY);
    }
    return false;
}

int CXmlProfile::Write() {
    std::string bytes;
    if (!document_->Serialize(bytes)) return platform::FILEIO_OUT_OF_MEMORY;
    return ReplaceProfileFile(path_, bytes);
}

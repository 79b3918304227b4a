// The XML document the profile store works on: pugixml on POSIX, MSXML on Windows.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

enum class XmlLoadResult {
    Loaded,       // the file was read and parsed
    Missing,      // no such file, or one holding only white space: nothing in it to lose
    Unparseable,  // the file exists but could not be read or is not one well-formed XML document
    Unwritable,   // parsed and readable, but it could not be written back as it is (entity references)
};

// The most a profile may hold: far above any host's, and a special file cannot feed us for ever.
constexpr size_t kMaxXmlFileBytes = size_t{64} << 20;

// Elements are opaque handles owned by the document; null stands for "none".
using XmlElement = void*;

class XmlDocument {
public:
    virtual ~XmlDocument() = default;

    // Replaces the content with the bytes' document; when that is not well-formed, it is left empty.
    virtual XmlLoadResult Parse(const std::string& bytes) = 0;
    // The whole document in the style it was parsed in (declaration, indentation, encoding).
    virtual bool Serialize(std::string& bytes) = 0;

    // Parse and Serialize over a file, for tools; the profile store does its own careful save.
    XmlLoadResult Load(const std::string& path);
    bool Save(const std::string& path);

    virtual XmlElement Root() = 0;
    // Appends a new element named `name` as the last child of `parent`, or as the root when parent is null.
    virtual XmlElement AppendElement(XmlElement parent, const std::string& name) = 0;
    // First child element of `parent` with exactly this name, in document order.
    virtual XmlElement FirstChild(XmlElement parent, const std::string& name) = 0;
    virtual std::string Name(XmlElement element) = 0;
    virtual std::string Text(XmlElement element) = 0;
    // Replaces the element's content with a single text node.
    virtual void SetText(XmlElement element, const std::string& text) = 0;
    virtual void RemoveFromParent(XmlElement element) = 0;
};

// A new, empty document of the platform's library; null when the library cannot create one.
std::unique_ptr<XmlDocument> CreateXmlDocument();

}  // namespace platform

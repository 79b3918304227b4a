// The XML document the profile store works on: pugixml on POSIX, MSXML on Windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// Where an element lies in the file's bytes. Offsets count bytes of the file as it is, whatever its encoding.
struct XmlElementBytes {
    std::string name;         // a narrow string
    size_t begin = 0;         // its '<'
    size_t contentBegin = 0;  // just past its start tag
    size_t contentEnd = 0;    // its end tag's '<'; contentBegin for an empty-element tag
    size_t end = 0;           // just past its last tag
    bool emptyTag = false;    // written as <X/>
    std::string text;         // a key's text content, narrow
    bool opaque = false;      // a key holding a reference to an entity the parser could not see
    std::vector<XmlElementBytes> children;  // the root's elements; a mapped section's elements
};

enum class XmlEncoding { Utf8, Utf16Le, Utf16Be, SingleByte, Multibyte };

// The structure of a profile file down to its keys: the root, its elements, and in each section
// asked for, the key elements with their text.
struct XmlMap {
    XmlEncoding encoding = XmlEncoding::Utf8;
    std::array<int32_t, 256> charOfByte{};  // SingleByte: the character each byte stands for, -1 for none
    std::string multibyte;                  // Multibyte: its canonical name (MultibyteName)
    XmlElementBytes root;
};

// POSIX: expat keeps each element name it meets for the parser's life, so a fresh parser takes over
// after this many elements (see MapXml).
constexpr int kXmlElementsPerParser = 4096;

// Checks the bytes strictly as one well-formed document and maps them; `sections` names the root's
// elements whose keys are mapped, all of them when null. 0, or the reason there is no map.
int MapXml(const std::string& bytes, const std::vector<std::string>* sections, XmlMap& map);
// MapXml's parse itself, one per platform.
int ParseXmlMap(const std::string& bytes, const std::vector<std::string>* sections, XmlMap& map);

// For a tool that reads one profile several times, each read a whole parse of a file that may be
// tens of MB: MapXml keeps its last map, and the bytes, and gives it again for the same bytes and
// sections it covers. Off unless asked for: the plug-in would hold a copy of the file for nothing.
void RememberXmlMaps(bool on);

// The encoding of a file from its first bytes and the name its declaration gives (empty for none).
XmlEncoding EncodingOf(const std::string& bytes, const std::string& declared);
// False when a byte-order mark and the declared encoding disagree: the mark decides how the file
// is read, and a file written in the other would be mixed, so it is refused.
bool MarkAgreesWithDeclaration(const std::string& bytes, const std::string& declared);

// The East Asian encodings whose every character is one byte (ASCII) or a lead byte and one more:
// "Shift_JIS", "GBK", "GB2312", "EUC-KR" or "Big5" for a declared name or alias; empty for others.
std::string MultibyteName(const std::string& declared);

// A character in the file's multibyte encoding, such that reading it back gives the same character;
// false when the encoding has none.
bool EncodeMultibyte(const XmlMap& map, char32_t c, std::string& out);

// The characters of UTF-8 text.
std::u32string Utf8Chars(const std::string& text);

// The characters of a narrow string (UTF-8 on POSIX, the ANSI code page on Windows).
std::u32string NarrowChars(const std::string& text);

}  // namespace platform

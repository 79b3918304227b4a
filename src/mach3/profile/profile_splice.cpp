// The store's changes put into the profile's own bytes, the same on every platform.
#include "mach3/profile/profile_splice.h"

#include <algorithm>
#include <unordered_map>

#include "platform/file_io.h"

namespace {

using platform::XmlElementBytes;
using platform::XmlEncoding;
using platform::XmlMap;

// Characters into the file's encoding; what a single-byte encoding cannot hold becomes a reference.
class Encoder {
public:
    explicit Encoder(const XmlMap& map) : map_(map), encoding_(map.encoding) {
        if (encoding_ != XmlEncoding::SingleByte) return;
        for (int byte = 255; byte >= 0; --byte) {
            if (map.charOfByte[byte] >= 0) byteOfChar_[static_cast<char32_t>(map.charOfByte[byte])] = static_cast<char>(byte);
        }
    }

    size_t Unit() const { return Wide() ? 2 : 1; }

    // False when the encoding has no byte for the character.
    bool Char(char32_t c, std::string& out) const {
        switch (encoding_) {
        case XmlEncoding::Utf8:
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | c >> 6);
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | c >> 12);
                out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | c >> 18);
                out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
                out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
            return true;
        case XmlEncoding::Utf16Le:
        case XmlEncoding::Utf16Be:
            if (c >= 0x10000) {
                Unit16(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), out);
                Unit16(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)), out);
            } else {
                Unit16(static_cast<char16_t>(c), out);
            }
            return true;
        case XmlEncoding::Multibyte:
            if (c < 0x80) {
                out += static_cast<char>(c);
                return true;
            }
            return platform::EncodeMultibyte(map_, c, out);
        case XmlEncoding::SingleByte: {
            const auto it = byteOfChar_.find(c);
            if (it == byteOfChar_.end()) return false;
            out += it->second;
            return true;
        }
        }
        return false;
    }

    bool Markup(const std::string& narrow, std::string& out) const {
        for (char32_t c : platform::NarrowChars(narrow)) {
            if (!Char(c, out)) return false;
        }
        return true;
    }

    // A value as element text. Characters XML cannot hold at all are left out; a CR is kept as a
    // reference, since a reader turns a raw one into a line feed.
    bool Text(const std::string& narrow, std::string& out) const {
        for (char32_t c : platform::NarrowChars(narrow)) {
            const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c < 0xD800) || (c >= 0xE000 && c < 0xFFFE) ||
                                 (c >= 0x10000 && c <= 0x10FFFF);
            bool ok = true;
            if (!allowed) continue;
            if (c == '&') ok = Markup("&amp;", out);
            else if (c == '<') ok = Markup("&lt;", out);
            else if (c == '>') ok = Markup("&gt;", out);
            else if (c == '\r' || !Char(c, out)) ok = Markup("&#" + std::to_string(static_cast<uint32_t>(c)) + ";", out);
            if (!ok) return false;
        }
        return true;
    }

    bool Blank(const std::string& bytes) const {
        if (bytes.empty()) return false;
        const size_t unit = Unit();
        const size_t low = encoding_ == XmlEncoding::Utf16Be ? 1 : 0;
        for (size_t i = 0; i + unit <= bytes.size(); i += unit) {
            const char c = bytes[i + low];
            if ((unit == 2 && bytes[i + (low ^ 1)] != '\0') || (c != ' ' && c != '\t' && c != '\r' && c != '\n')) {
                return false;
            }
        }
        return true;
    }

private:
    bool Wide() const { return encoding_ == XmlEncoding::Utf16Le || encoding_ == XmlEncoding::Utf16Be; }
    void Unit16(char16_t u, std::string& out) const {
        const char low = static_cast<char>(u & 0xFF), high = static_cast<char>(u >> 8);
        out += encoding_ == XmlEncoding::Utf16Le ? low : high;
        out += encoding_ == XmlEncoding::Utf16Le ? high : low;
    }

    const XmlMap& map_;
    XmlEncoding encoding_;
    std::unordered_map<char32_t, char> byteOfChar_;
};

// The content of an element as a run of pieces: its child elements and the bytes between them.
struct Piece {
    std::string bytes;
    bool element = false;
    std::string name;
    std::string startTag;  // an element's tags, as the content of a written key goes between them
    std::string endTag;
};

class Content {
public:
    explicit Content(const Encoder& encoder) : encoder_(encoder) {}

    // The pieces of `parent` in the file, with the tags a key's rewrite keeps.
    void Load(const std::string& bytes, const XmlElementBytes& parent) {
        size_t at = parent.contentBegin;
        for (const XmlElementBytes& child : parent.children) {
            Gap(bytes, at, child.begin);
            Piece piece;
            piece.element = true;
            piece.name = child.name;
            piece.bytes = bytes.substr(child.begin, child.end - child.begin);
            piece.startTag = bytes.substr(child.begin, child.contentBegin - child.begin);
            piece.endTag = bytes.substr(child.contentEnd, child.end - child.contentEnd);
            if (child.emptyTag) {
                const size_t slash = 2 * encoder_.Unit();  // the "/>"
                if (piece.startTag.size() < slash) return fail();
                piece.startTag.erase(piece.startTag.size() - slash);
                if (!encoder_.Markup(">", piece.startTag) || !encoder_.Markup("</" + child.name + ">", piece.endTag)) {
                    return fail();
                }
            }
            pieces_.push_back(std::move(piece));
            at = child.end;
        }
        Gap(bytes, at, parent.contentEnd);
    }

    Piece* Find(const std::string& name) {
        for (Piece& piece : pieces_) {
            if (piece.element && piece.name == name) return &piece;
        }
        return nullptr;
    }

    // Appended last; in an indented run it goes before the closing line's white space, indented
    // like the element before it.
    void Append(Piece piece) {
        changed_ = true;
        const size_t n = pieces_.size();
        if (n >= 3 && IsBlank(n - 1) && pieces_[n - 2].element && IsBlank(n - 3)) {
            Piece indent = pieces_[n - 3];
            pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(n - 1), std::move(piece));
            pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(n - 1), std::move(indent));
            return;
        }
        pieces_.push_back(std::move(piece));
    }

    void Write(Piece* piece, const std::string& value) {
        changed_ = true;
        std::string bytes = piece->startTag;
        if (!encoder_.Text(value, bytes)) return fail();
        piece->bytes = bytes + piece->endTag;
    }

    // A new element holding the value; its tags in the file's encoding.
    Piece NewElement(const std::string& name, const std::string& value) {
        Piece piece;
        piece.element = true;
        piece.name = name;
        if (!encoder_.Markup("<" + name + ">", piece.startTag) || !encoder_.Markup("</" + name + ">", piece.endTag)) {
            fail();
        }
        Write(&piece, value);
        return piece;
    }

    std::string Bytes() const {
        std::string out;
        for (const Piece& piece : pieces_) out += piece.bytes;
        return out;
    }

    bool changed() const { return changed_; }
    int error() const { return error_; }

private:
    void Gap(const std::string& bytes, size_t from, size_t to) {
        if (to <= from) return;
        Piece gap;
        gap.bytes = bytes.substr(from, to - from);
        pieces_.push_back(std::move(gap));
    }
    bool IsBlank(size_t i) const { return !pieces_[i].element && encoder_.Blank(pieces_[i].bytes); }
    void fail() { error_ = platform::FILEIO_NOT_REWRITABLE; }

    const Encoder& encoder_;
    std::vector<Piece> pieces_;
    bool changed_ = false;
    int error_ = 0;
};

const XmlElementBytes* FirstNamed(const std::vector<XmlElementBytes>& elements, const std::string& name) {
    for (const XmlElementBytes& element : elements) {
        if (element.name == name) return &element;
    }
    return nullptr;
}

struct Replacement {
    size_t begin, end;
    std::string bytes;
};

}  // namespace

int SpliceProfile(const std::string& bytes, const XmlMap& map, const std::vector<ProfileEdit>& edits, std::string& out) {
    const Encoder encoder(map);
    std::vector<Replacement> replacements;
    std::vector<std::string> created;  // new sections, in the order the edits made them

    std::vector<std::string> sections;
    for (const ProfileEdit& edit : edits) {
        if (std::find(sections.begin(), sections.end(), edit.section) == sections.end()) sections.push_back(edit.section);
    }
    for (const std::string& name : sections) {
        const XmlElementBytes* section = FirstNamed(map.root.children, name);
        Content content(encoder);
        if (section != nullptr) content.Load(bytes, *section);
        bool exists = section != nullptr;
        for (const ProfileEdit& edit : edits) {
            if (edit.section != name) continue;
            Piece* key = exists ? content.Find(edit.key) : nullptr;
            if (key != nullptr) {
                content.Write(key, edit.value);
            } else {
                exists = true;
                content.Append(content.NewElement(edit.key, edit.value));
            }
        }
        if (content.error() != 0) return content.error();
        if (!content.changed()) continue;
        if (section == nullptr) {
            std::string element;
            if (!encoder.Markup("<" + name + ">", element)) return platform::FILEIO_NOT_REWRITABLE;
            element += content.Bytes();
            if (!encoder.Markup("</" + name + ">", element)) return platform::FILEIO_NOT_REWRITABLE;
            created.push_back(std::move(element));
        } else if (section->emptyTag) {
            std::string element = bytes.substr(section->begin, section->end - section->begin - 2 * encoder.Unit());
            if (!encoder.Markup(">", element)) return platform::FILEIO_NOT_REWRITABLE;
            element += content.Bytes();
            if (!encoder.Markup("</" + name + ">", element)) return platform::FILEIO_NOT_REWRITABLE;
            replacements.push_back({section->begin, section->end, std::move(element)});
        } else {
            replacements.push_back({section->contentBegin, section->contentEnd, content.Bytes()});
        }
    }

    if (!created.empty()) {
        // New sections go last in the root; in an indented root, before the closing line's white
        // space and indented like the element before them.
        const XmlElementBytes& root = map.root;
        size_t at = root.contentEnd;
        std::string indent;
        if (!root.children.empty()) {
            const XmlElementBytes& last = root.children.back();
            const size_t from = root.children.size() > 1 ? root.children[root.children.size() - 2].end : root.contentBegin;
            const std::string before = bytes.substr(from, last.begin - from);
            if (encoder.Blank(bytes.substr(last.end, root.contentEnd - last.end)) && encoder.Blank(before)) {
                at = last.end;
                indent = before;
            }
        }
        std::string inserted;
        for (const std::string& element : created) inserted += indent + element;
        if (root.emptyTag) {
            std::string element = bytes.substr(root.begin, root.end - root.begin - 2 * encoder.Unit());
            if (!encoder.Markup(">", element)) return platform::FILEIO_NOT_REWRITABLE;
            element += inserted;
            if (!encoder.Markup("</" + root.name + ">", element)) return platform::FILEIO_NOT_REWRITABLE;
            replacements.push_back({root.begin, root.end, std::move(element)});
        } else {
            replacements.push_back({at, at, std::move(inserted)});
        }
    }

    std::stable_sort(replacements.begin(), replacements.end(),
                     [](const Replacement& a, const Replacement& b) { return a.begin < b.begin; });
    out.clear();
    out.reserve(bytes.size() + 256);
    size_t at = 0;
    for (const Replacement& r : replacements) {
        out.append(bytes, at, r.begin - at);
        out += r.bytes;
        at = r.end;
    }
    out.append(bytes, at, std::string::npos);
    return 0;
}

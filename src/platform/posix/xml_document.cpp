// The profile document over pugixml, loaded and saved so that the host's file keeps its own style.
#include "platform/xml_document.h"

#include "platform/file_io.h"

#include <expat.h>
#include <iconv.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Everything the host may have put in the file is kept, byte for byte where pugixml allows:
// line ends stay as they are and white space between elements is kept as text nodes. The white
// space beside the root (the host ends its file with CR LF) is kept by the save from the bytes.
constexpr unsigned kParseOptions =
    (pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration | pugi::parse_comments |
     pugi::parse_pi | pugi::parse_doctype) &
    ~pugi::parse_eol;

bool IsBlank(const pugi::char_t* text) {
    for (; *text; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') return false;
    }
    return true;
}

bool IsBlankText(const pugi::xml_node& node) {
    return node.type() == pugi::node_pcdata && IsBlank(node.value());
}

// The host writes empty elements as <X></X>; a file that holds any <X/> was written by something
// else and keeps that form instead.
bool UsesSelfClosingTags(const std::string& bytes, pugi::xml_encoding encoding) {
    switch (encoding) {
    case pugi::encoding_utf16_le: return bytes.find(std::string("/\0>\0", 4)) != std::string::npos;
    case pugi::encoding_utf16_be: return bytes.find(std::string("\0/\0>", 4)) != std::string::npos;
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be: return true;
    default: return bytes.find("/>") != std::string::npos;
    }
}

size_t BomLength(const std::string& bytes) {
    auto starts = [&](const char* bom, size_t n) { return bytes.size() >= n && bytes.compare(0, n, bom, n) == 0; };
    if (starts("\xEF\xBB\xBF", 3)) return 3;
    return starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2) ? 2 : 0;
}

bool IsWide(pugi::xml_encoding encoding) {
    return encoding != pugi::encoding_utf8 && encoding != pugi::encoding_latin1;
}

bool IsBlankBytes(const std::string& bytes) {
    return bytes.find_first_not_of(" \t\r\n") == std::string::npos;
}

// What a strict parser finds out about the bytes before pugixml, which takes more than XML, reads them.
constexpr size_t kUnknown = static_cast<size_t>(-1);

struct Checked {
    bool wellFormed = false;
    bool entities = false;  // a general entity declared or left unexpanded
    std::vector<std::pair<size_t, size_t>> spans;  // the byte ranges of the nodes beside the root, and the root's
};

// A single-byte encoding as the system converts it: the character of each byte, -1 for none.
bool ByteTable(const char* name, std::array<int32_t, 256>& table) {
    iconv_t cd = iconv_open("UTF-32LE", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    for (int byte = 0; byte < 256; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char* from = &in;
        char* to = reinterpret_cast<char*>(out);
        size_t left = 1, room = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const bool ok = iconv(cd, &from, &left, &to, &room) != static_cast<size_t>(-1) && room == 0;
        table[byte] = ok ? static_cast<int32_t>(out[0] | out[1] << 8 | out[2] << 16) : -1;
    }
    iconv_close(cd);
    return true;
}

// The system's converters for a multibyte encoding: lenient in (Microsoft's supersets, as the files
// the host's Windows writes use them), strict out, each character written checked by reading it back.
struct MultibyteCodec {
    const char* in;
    const char* out;
};

MultibyteCodec CodecOf(const std::string& canonical) {
    if (canonical == "Shift_JIS") return {"CP932", "CP932"};
    if (canonical == "GBK") return {"GBK", "GBK"};
    if (canonical == "GB2312") return {"GBK", "GB2312"};
    if (canonical == "EUC-KR") return {"CP949", "EUC-KR"};
    return {"CP950", "BIG5"};
}

// One character of `in` through `cd`; -1 when it is not exactly one.
int32_t Convert(iconv_t cd, const char* in, size_t length) {
    unsigned char out[8] = {};
    char* from = const_cast<char*>(in);
    char* to = reinterpret_cast<char*>(out);
    size_t left = length, room = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &from, &left, &to, &room) == static_cast<size_t>(-1) || left != 0 || room != sizeof out - 4) return -1;
    return static_cast<int32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
}

int ConvertTwo(void* data, const char* s) { return Convert(static_cast<iconv_t>(data), s, 2); }
void Release(void* data) { iconv_close(static_cast<iconv_t>(data)); }

// Expat takes an encoding of one byte, or of a lead byte and one more, by a table of the first
// bytes and a converter for the pairs.
bool MultibyteTable(const MultibyteCodec& codec, XML_Encoding* info) {
    iconv_t cd = iconv_open("UTF-32LE", codec.in);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    for (int byte = 0; byte < 256; ++byte) {
        const char one = static_cast<char>(byte);
        info->map[byte] = Convert(cd, &one, 1);
        if (info->map[byte] >= 0 || byte < 0x80) continue;
        for (int trail = 0x40; trail < 0x100; ++trail) {
            const char two[2] = {one, static_cast<char>(trail)};
            if (Convert(cd, two, 2) >= 0) {
                info->map[byte] = -2;
                break;
            }
        }
    }
    info->data = cd;
    info->convert = ConvertTwo;
    info->release = Release;
    return true;
}

// Encodings that switch state with escapes, or whose length a first byte does not tell, cannot be
// edited by their bytes: such files are refused, never rewritten.
bool Stateful(const std::string& name) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* prefix : {"ISO-2022", "ISO2022", "UTF-7", "UTF7", "HZ", "GB18030", "CSISO2022", "UTF-16", "UTF-32", "UCS"}) {
        if (upper.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// Encodings expat does not know itself (the host's windows-1252, for one).
int KnownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
    const std::string multibyte = MultibyteName(name);
    if (!multibyte.empty()) return MultibyteTable(CodecOf(multibyte), info) ? XML_STATUS_OK : XML_STATUS_ERROR;
    std::array<int32_t, 256> table;
    if (Stateful(name) || !ByteTable(name, table)) return XML_STATUS_ERROR;
    // ASCII as ASCII, or markup would not be markup.
    for (int byte = 0x20; byte < 0x7F; ++byte) {
        if (table[byte] != byte && std::strchr("$@\\^`{}~", byte) == nullptr) return XML_STATUS_ERROR;
    }
    std::copy(table.begin(), table.end(), info->map);
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

class StrictCheck {
public:
    explicit StrictCheck(const std::string& bytes) : parser_(XML_ParserCreate(nullptr)) {
        if (parser_ == nullptr) return;
        XML_SetUserData(parser_, this);
        XML_SetXmlDeclHandler(parser_, [](void* self, const XML_Char*, const XML_Char*, int) { Top(self).Span(); });
        // Expat reports the doctype after its name: where it began is found from the white space before it.
        XML_SetStartDoctypeDeclHandler(parser_, [](void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
            Top(self).begin_ = kUnknown;
            Top(self).inDoctype_ = true;
        });
        XML_SetEndDoctypeDeclHandler(parser_, [](void* self) {
            StrictCheck& c = Top(self);
            c.inDoctype_ = false;
            c.result_.spans.emplace_back(c.begin_, c.End());
        });
        XML_SetCommentHandler(parser_, [](void* self, const XML_Char*) { Top(self).OutsideRoot(); });
        XML_SetProcessingInstructionHandler(parser_, [](void* self, const XML_Char*, const XML_Char*) {
            Top(self).OutsideRoot();
        });
        XML_SetStartElementHandler(parser_, [](void* self, const XML_Char*, const XML_Char**) {
            StrictCheck& c = Top(self);
            if (c.depth_++ == 0) {
                c.begin_ = XML_GetCurrentByteIndex(c.parser_);
                c.end_ = c.End();
            }
        });
        XML_SetEndElementHandler(parser_, [](void* self, const XML_Char*) {
            StrictCheck& c = Top(self);
            if (--c.depth_ == 0) c.result_.spans.emplace_back(c.begin_, std::max(c.end_, c.End()));
        });
        XML_SetEntityDeclHandler(parser_, [](void* self, const XML_Char*, int parameter, const XML_Char*, int,
                                             const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
            if (!parameter) Top(self).result_.entities = true;
        });
        XML_SetSkippedEntityHandler(parser_, [](void* self, const XML_Char*, int parameter) {
            if (!parameter) Top(self).result_.entities = true;
        });
        XML_SetUnknownEncodingHandler(parser_, KnownEncoding, nullptr);
        result_.wellFormed = XML_Parse(parser_, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) == XML_STATUS_OK;
    }
    ~StrictCheck() {
        if (parser_ != nullptr) XML_ParserFree(parser_);
    }
    StrictCheck(const StrictCheck&) = delete;
    StrictCheck& operator=(const StrictCheck&) = delete;

    Checked& result() { return result_; }

private:
    static StrictCheck& Top(void* self) { return *static_cast<StrictCheck*>(self); }
    size_t End() const { return static_cast<size_t>(XML_GetCurrentByteIndex(parser_) + XML_GetCurrentByteCount(parser_)); }
    void Span() { result_.spans.emplace_back(static_cast<size_t>(XML_GetCurrentByteIndex(parser_)), End()); }
    void OutsideRoot() {
        if (depth_ == 0 && !inDoctype_) Span();
    }

    XML_Parser parser_;
    Checked result_;
    int depth_ = 0;
    bool inDoctype_ = false;
    size_t begin_ = 0;
    size_t end_ = 0;
};

// The map of a profile: expat reports each event's byte range in the file itself, UTF-16 included.
class Mapper {
public:
    Mapper(const std::vector<std::string>* sections, XmlMap& map)
        : parser_(XML_ParserCreate(nullptr)), sections_(sections), map_(map) {}
    ~Mapper() {
        if (parser_ != nullptr) XML_ParserFree(parser_);
    }
    Mapper(const Mapper&) = delete;
    Mapper& operator=(const Mapper&) = delete;

    int Run(const std::string& bytes) {
        if (parser_ == nullptr) return FILEIO_OUT_OF_MEMORY;
        if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return FILEIO_TOO_LARGE;
        Prepare();
        // Given in pieces: expat copies what it is given, and a large profile copied whole would cost
        // its size again, out of the cache, on every read.
        constexpr size_t kPiece = size_t{1} << 16;
        // The last piece, possibly of no bytes, tells the parser the file ends: a fresh parser that
        // took over at the file's last byte must hear it too.
        for (size_t at = 0;;) {
            const size_t n = std::min(kPiece, bytes.size() - at);
            const XML_Bool last = at + n == bytes.size() ? XML_TRUE : XML_FALSE;
            const XML_Status status = XML_Parse(parser_, bytes.data() + at, static_cast<int>(n), last);
            if (status == XML_STATUS_SUSPENDED) {
                if (!Restart(bytes)) return FILEIO_OUT_OF_MEMORY;
                at = resumeAt_;
                continue;
            }
            if (status != XML_STATUS_OK) {
                const XML_Error error = XML_GetErrorCode(parser_);
                if (error == XML_ERROR_UNKNOWN_ENCODING) return FILEIO_NOT_REWRITABLE;
                return error == XML_ERROR_NO_MEMORY ? FILEIO_OUT_OF_MEMORY : FILEIO_NOT_WELL_FORMED;
            }
            if (last) break;
            at += n;
        }
        if (!MarkAgreesWithDeclaration(bytes, declared_)) return FILEIO_NOT_REWRITABLE;
        map_.encoding = EncodingOf(bytes, declared_);
        map_.multibyte = MultibyteName(declared_);
        if (map_.encoding == XmlEncoding::SingleByte && !ByteTable(declared_.c_str(), map_.charOfByte)) {
            return FILEIO_NOT_REWRITABLE;
        }
        return SpansAreTags(bytes) ? 0 : FILEIO_NOT_REWRITABLE;
    }

private:
    static Mapper& Top(void* self) { return *static_cast<Mapper*>(self); }

    // Expat keeps every element name it meets in a table that lives as long as the parser; a file of
    // many distinct names outgrows the caches and each name costs more than the last. So after
    // kXmlElementsPerParser elements a fresh parser takes over at an end tag, first given the bytes
    // that bring it to the same place: the file up to the root's start tag and the start tags still
    // open. Every byte is still checked, the open elements' end tags against their names. A document
    // type could declare entities whose elements end inside a reference: such a file keeps one parser.
    void Prepare() {
        XML_SetUserData(parser_, this);
        XML_SetXmlDeclHandler(parser_, [](void* self, const XML_Char*, const XML_Char* encoding, int) {
            if (encoding != nullptr) Top(self).declared_ = encoding;
        });
        XML_SetStartDoctypeDeclHandler(parser_, [](void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
            Top(self).doctype_ = true;
        });
        XML_SetElementHandler(parser_, Start, End);
        if (key_ != nullptr) XML_SetCharacterDataHandler(parser_, Text);
        // An entity the parser could not see (declared in an external DTD it does not read) stays in
        // the key's text as it is written, so the key is never taken for empty.
        XML_SetSkippedEntityHandler(parser_, [](void* self, const XML_Char* name, int parameter) {
            XmlElementBytes* key = Top(self).key_;
            if (parameter || key == nullptr) return;
            key->text += std::string("&") + name + ";";
            key->opaque = true;
        });
        XML_SetUnknownEncodingHandler(parser_, KnownEncoding, nullptr);
    }

    // The fresh parser reads the bytes before the root's start tag and the open start tags without
    // reporting them, then goes on from resumeAt_ as if it had read the file up to there.
    bool Restart(const std::string& bytes) {
        std::string lead = bytes.substr(0, open_.front().second);
        for (size_t i = 1; i < open_.size(); ++i) lead.append(bytes, open_[i].first, open_[i].second - open_[i].first);
        XML_ParserFree(parser_);
        parser_ = XML_ParserCreate(nullptr);
        if (parser_ == nullptr) return false;
        Prepare();
        replaying_ = open_.size();
        shift_ = resumeAt_ - lead.size();
        elements_ = 0;
        return XML_Parse(parser_, lead.data(), static_cast<int>(lead.size()), XML_FALSE) == XML_STATUS_OK;
    }

    size_t Index() const { return static_cast<size_t>(XML_GetCurrentByteIndex(parser_)) + shift_; }
    size_t EventEnd() const { return Index() + static_cast<size_t>(XML_GetCurrentByteCount(parser_)); }

    bool Wanted(const std::string& name) const {
        return sections_ == nullptr || std::find(sections_->begin(), sections_->end(), name) != sections_->end();
    }

    static void XMLCALL Start(void* self, const XML_Char* name, const XML_Char**) {
        Mapper& m = Top(self);
        if (m.replaying_ > 0) {
            --m.replaying_;
            return;
        }
        m.open_.emplace_back(m.Index(), m.EventEnd());
        ++m.elements_;
        XmlElementBytes* element = nullptr;
        switch (++m.depth_) {
        case 1: element = &m.map_.root; break;
        case 2:
            element = &m.map_.root.children.emplace_back();
            m.section_ = Top(self).Wanted(name) ? element : nullptr;
            break;
        case 3:
            if (m.section_ == nullptr) break;
            m.key_ = element = &m.section_->children.emplace_back();
            // Text matters in the keys only; expat need not hand over the rest.
            XML_SetCharacterDataHandler(m.parser_, Text);
            break;
        default: break;
        }
        if (element == nullptr) return;
        element->name = name;
        element->begin = m.Index();
        element->contentBegin = element->contentEnd = element->end = m.EventEnd();
    }

    static void XMLCALL Text(void* self, const XML_Char* text, int length) {
        if (XmlElementBytes* key = Top(self).key_) key->text.append(text, static_cast<size_t>(length));
    }

    static void XMLCALL End(void* self, const XML_Char*) {
        Mapper& m = Top(self);
        m.open_.pop_back();
        // An empty-element tag has no end tag of its own to go on from.
        if (m.elements_ >= kXmlElementsPerParser && !m.doctype_ && !m.open_.empty() &&
            XML_GetCurrentByteCount(m.parser_) > 0) {
            m.resumeAt_ = m.EventEnd();
            XML_StopParser(m.parser_, XML_TRUE);
        }
        XmlElementBytes* element = nullptr;
        switch (m.depth_--) {
        case 1: element = &m.map_.root; break;
        case 2: element = &m.map_.root.children.back(); break;
        case 3:
            element = m.key_;
            m.key_ = nullptr;
            XML_SetCharacterDataHandler(m.parser_, nullptr);
            break;
        default: break;
        }
        if (element == nullptr) return;
        // An empty-element tag reports its end with the start tag, as an event of no bytes.
        element->emptyTag = XML_GetCurrentByteCount(m.parser_) == 0;
        if (element->emptyTag) return;
        element->contentEnd = m.Index();
        element->end = m.EventEnd();
    }

    // Elements that came out of an entity's replacement text have the reference's bytes, not tags:
    // such a file cannot be edited by its bytes.
    bool SpansAreTags(const std::string& bytes) const {
        const bool wide = map_.encoding == XmlEncoding::Utf16Le || map_.encoding == XmlEncoding::Utf16Be;
        const auto isTag = [&](const XmlElementBytes& e) {
            const size_t at = e.begin + (map_.encoding == XmlEncoding::Utf16Be ? 1 : 0);
            return at < bytes.size() && bytes[at] == '<' && (!wide || bytes[at ^ 1] == '\0');
        };
        if (!isTag(map_.root)) return false;
        for (const XmlElementBytes& section : map_.root.children) {
            if (!isTag(section)) return false;
            for (const XmlElementBytes& key : section.children) {
                if (!isTag(key)) return false;
            }
        }
        return true;
    }

    XML_Parser parser_;
    const std::vector<std::string>* sections_;
    XmlMap& map_;
    std::string declared_;
    bool doctype_ = false;
    std::vector<std::pair<size_t, size_t>> open_;  // the open elements' start tags in the file
    int elements_ = 0;                             // started since this parser began
    size_t replaying_ = 0;                         // start tags the fresh parser is yet to be given again
    size_t shift_ = 0;                             // where the file is from where the parser thinks it is
    size_t resumeAt_ = 0;
    int depth_ = 0;
    XmlElementBytes* section_ = nullptr;
    XmlElementBytes* key_ = nullptr;
};

class StringWriter : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : out_(out) {}
    void write(const void* data, size_t size) override { out_.append(static_cast<const char*>(data), size); }

private:
    std::string& out_;
};

pugi::xml_node NodeOf(XmlElement element) {
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(element));
}

XmlElement HandleOf(const pugi::xml_node& node) { return node.internal_object(); }

class PugiDocument : public XmlDocument {
public:
    XmlLoadResult Parse(const std::string& bytes) override {
        doc_.reset();
        encoding_ = pugi::encoding_utf8;
        bom_.clear();
        selfClosing_ = true;
        gaps_.clear();
        if (IsBlankBytes(bytes)) return XmlLoadResult::Missing;
        if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return XmlLoadResult::Unparseable;

        StrictCheck check(bytes);
        const Checked& checked = check.result();
        if (!checked.wellFormed) return XmlLoadResult::Unparseable;
        const pugi::xml_parse_result result = doc_.load_buffer(bytes.data(), bytes.size(), kParseOptions);
        if (!result || !doc_.document_element()) {
            doc_.reset();
            return XmlLoadResult::Unparseable;
        }
        encoding_ = result.encoding;
        bom_ = bytes.substr(0, BomLength(bytes));
        selfClosing_ = UsesSelfClosingTags(bytes, result.encoding);
        // The white space before, between and after the nodes beside the root, as the file had it.
        size_t count = 0;
        for (pugi::xml_node node : doc_.children()) count += node ? 1 : 0;
        if (count == checked.spans.size() && !IsWide(encoding_)) {
            size_t from = bom_.size();
            for (auto [begin, end] : checked.spans) {
                if (begin == kUnknown) begin = std::min(bytes.find_first_not_of(" \t\r\n", from), end);
                gaps_.push_back(begin >= from ? bytes.substr(from, begin - from) : std::string());
                from = end;
            }
            gaps_.push_back(from <= bytes.size() ? bytes.substr(from) : std::string());
        }
        return checked.entities ? XmlLoadResult::Unwritable : XmlLoadResult::Loaded;
    }

    bool Serialize(std::string& bytes) override {
        bytes = bom_;
        StringWriter writer(bytes);
        unsigned flags = pugi::format_raw | pugi::format_no_declaration;
        if (!selfClosing_) flags |= pugi::format_no_empty_element_tags;
        try {
            size_t i = 0;
            for (pugi::xml_node node : doc_.children()) {
                if (i < gaps_.size()) bytes += gaps_[i++];
                node.print(writer, PUGIXML_TEXT(""), flags, encoding_);
            }
            if (i < gaps_.size()) bytes += gaps_.back();
        } catch (...) {
            return false;
        }
        return true;
    }

    XmlElement Root() override { return HandleOf(doc_.document_element()); }

    XmlElement AppendElement(XmlElement parent, const std::string& name) override {
        if (!parent) return HandleOf(doc_.append_child(name.c_str()));
        pugi::xml_node node = NodeOf(parent);
        // In an indented file the new element goes before the closing line's white space, indented
        // like the element before it, so the file stays indented.
        pugi::xml_node tail = node.last_child();
        if (IsBlankText(tail)) {
            pugi::xml_node previous = tail.previous_sibling();
            pugi::xml_node indent = previous ? previous.previous_sibling() : pugi::xml_node();
            if (previous.type() == pugi::node_element && IsBlankText(indent)) {
                node.insert_child_before(pugi::node_pcdata, tail).set_value(indent.value());
                return HandleOf(node.insert_child_before(name.c_str(), tail));
            }
        }
        return HandleOf(node.append_child(name.c_str()));
    }

    XmlElement FirstChild(XmlElement parent, const std::string& name) override {
        if (!parent) return nullptr;
        return HandleOf(NodeOf(parent).child(name.c_str()));
    }

    std::string Name(XmlElement element) override { return element ? NodeOf(element).name() : ""; }

    std::string Text(XmlElement element) override {
        std::string text;
        for (pugi::xml_node node = NodeOf(element).first_child(); node;) {
            if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
            node = NextInside(node, NodeOf(element));
        }
        return text;
    }

    void SetText(XmlElement element, const std::string& text) override {
        pugi::xml_node node = NodeOf(element);
        while (node.first_child()) node.remove_child(node.first_child());
        node.append_child(pugi::node_pcdata).set_value(text.c_str());
    }

    void RemoveFromParent(XmlElement element) override {
        pugi::xml_node node = NodeOf(element);
        pugi::xml_node parent = node.parent();
        if (!parent) return;
        // Take the element's indentation with it, so no blank line is left behind.
        pugi::xml_node before = node.previous_sibling();
        if (IsBlankText(before) && node.next_sibling()) parent.remove_child(before);
        parent.remove_child(node);
    }

private:
    // Document-order walk over the descendants of `top`.
    static pugi::xml_node NextInside(pugi::xml_node node, const pugi::xml_node& top) {
        if (node.first_child()) return node.first_child();
        while (node && node != top) {
            if (node.next_sibling()) return node.next_sibling();
            node = node.parent();
        }
        return pugi::xml_node();
    }

    pugi::xml_document doc_;
    pugi::xml_encoding encoding_ = pugi::encoding_utf8;
    std::string bom_;
    bool selfClosing_ = true;
    std::vector<std::string> gaps_;  // white space around the nodes beside the root; one more than them
};

}  // namespace

std::unique_ptr<XmlDocument> CreateXmlDocument() {
    return std::unique_ptr<XmlDocument>(new (std::nothrow) PugiDocument());
}

int ParseXmlMap(const std::string& bytes, const std::vector<std::string>* sections, XmlMap& map) {
    map = XmlMap{};
    return Mapper(sections, map).Run(bytes);
}

// Narrow strings are UTF-8 here.
std::u32string NarrowChars(const std::string& text) { return Utf8Chars(text); }

bool EncodeMultibyte(const XmlMap& map, char32_t c, std::string& out) {
    const MultibyteCodec codec = CodecOf(map.multibyte);
    iconv_t to = iconv_open(codec.out, "UTF-32LE");
    if (to == reinterpret_cast<iconv_t>(-1)) return false;
    const unsigned char in[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
                                 static_cast<unsigned char>(c >> 16), static_cast<unsigned char>(c >> 24)};
    char bytes[8] = {};
    char* from = const_cast<char*>(reinterpret_cast<const char*>(in));
    char* at = bytes;
    size_t left = sizeof in, room = sizeof bytes;
    const bool converted = iconv(to, &from, &left, &at, &room) != static_cast<size_t>(-1) && left == 0;
    iconv_close(to);
    const size_t length = sizeof bytes - room;
    if (!converted || length == 0 || length > 2) return false;
    iconv_t back = iconv_open("UTF-32LE", codec.in);
    if (back == reinterpret_cast<iconv_t>(-1)) return false;
    const bool same = Convert(back, bytes, length) == static_cast<int32_t>(c);
    iconv_close(back);
    if (same) out.append(bytes, length);
    return same;
}

}  // namespace platform

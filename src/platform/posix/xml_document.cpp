// The profile document over pugixml, loaded and saved so that the host's file keeps its own style.
#include "platform/xml_document.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>

#include "platform/file_io.h"

namespace platform {
namespace {

// Everything the host may have put in the file is kept, byte for byte where pugixml allows:
// line ends stay as they are and white space between elements is kept as text nodes. Fragment
// mode keeps the white space outside the root too (the host ends its file with CR LF); the
// document shape that fragment mode would let through is checked after parsing.
constexpr unsigned kParseOptions =
    (pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration | pugi::parse_comments |
     pugi::parse_pi | pugi::parse_doctype | pugi::parse_fragment) &
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

bool HasBom(const std::string& bytes) {
    auto starts = [&](const char* bom, size_t n) { return bytes.size() >= n && bytes.compare(0, n, bom, n) == 0; };
    return starts("\xEF\xBB\xBF", 3) || starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2);
}

// One root element, nothing but white space beside it, a declaration only in front.
bool IsSingleRootDocument(const pugi::xml_document& doc) {
    int elements = 0;
    bool first = true;
    for (pugi::xml_node node : doc.children()) {
        switch (node.type()) {
        case pugi::node_element: ++elements; break;
        case pugi::node_pcdata:
            if (!IsBlank(node.value())) return false;
            break;
        case pugi::node_declaration:
            if (!first) return false;
            break;
        case pugi::node_comment:
        case pugi::node_pi:
        case pugi::node_doctype: break;
        default: return false;
        }
        first = false;
    }
    return elements == 1;
}

class SeamWriter : public pugi::xml_writer {
public:
    explicit SeamWriter(void* file) : file_(file) {}
    void write(const void* data, size_t size) override {
        if (ok_ && fileIo().write(file_, data, size) != size) ok_ = false;
    }
    bool ok() const { return ok_; }

private:
    void* file_;
    bool ok_ = true;
};

pugi::xml_node NodeOf(XmlElement element) {
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(element));
}

XmlElement HandleOf(const pugi::xml_node& node) { return node.internal_object(); }

class PugiDocument : public XmlDocument {
public:
    XmlLoadResult Load(const std::string& path) override {
        doc_.reset();
        encoding_ = pugi::encoding_utf8;
        bom_ = false;
        selfClosing_ = true;

        errno = 0;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            // Only a file that is not there may be replaced; one we merely cannot read is the host's.
            return errno == ENOENT || errno == ENOTDIR || path.empty() ? XmlLoadResult::Missing
                                                                       : XmlLoadResult::Unparseable;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) return XmlLoadResult::Unparseable;

        const pugi::xml_parse_result result = doc_.load_buffer(bytes.data(), bytes.size(), kParseOptions);
        if (result) {
            if (IsSingleRootDocument(doc_)) {
                encoding_ = result.encoding;
                bom_ = HasBom(bytes);
                selfClosing_ = UsesSelfClosingTags(bytes, result.encoding);
                return XmlLoadResult::Loaded;
            }
            // An empty or blank file holds nothing to lose.
            bool blank = true;
            for (pugi::xml_node node : doc_.children()) blank = blank && IsBlankText(node);
            doc_.reset();
            return blank ? XmlLoadResult::Missing : XmlLoadResult::Unparseable;
        }
        doc_.reset();
        return XmlLoadResult::Unparseable;
    }

    bool Save(const std::string& path) override {
        void* file = fileIo().open(path.c_str(), "wb");
        if (!file) return false;
        SeamWriter writer(file);
        unsigned flags = pugi::format_raw | pugi::format_no_declaration;
        if (bom_) flags |= pugi::format_write_bom;
        if (!selfClosing_) flags |= pugi::format_no_empty_element_tags;
        try {
            doc_.save(writer, PUGIXML_TEXT(""), flags, encoding_);
        } catch (...) {
            fileIo().close(file);
            return false;
        }
        const bool closed = fileIo().close(file) == 0;
        return writer.ok() && closed;
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
    bool bom_ = false;
    bool selfClosing_ = true;
};

}  // namespace

std::unique_ptr<XmlDocument> CreateXmlDocument() {
    return std::unique_ptr<XmlDocument>(new (std::nothrow) PugiDocument());
}

}  // namespace platform

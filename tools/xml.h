// The XML of a camera's GenICam description as the feature resolution reads it: a tree of
// elements with their names, attributes and text. Two readers build it: pugixml on the host
// (tools/xml_reader.cpp), Windows' XmlLite on Windows (tools/windows/xml_reader.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace gvspfilter {

struct XmlElement {
    std::string name;       // as written, prefix included
    std::string nameAttribute;   // its Name attribute; "" when it has none
    std::vector<std::pair<std::string, std::string>> attributes;   // the others, as written
    std::string text;       // its own character data, entities resolved
    XmlElement* parent = nullptr;
    std::vector<std::unique_ptr<XmlElement>> children;

    XmlElement() = default;
    XmlElement(const XmlElement&) = delete;
    XmlElement& operator=(const XmlElement&) = delete;
    // Frees the subtree without recursing: a camera may nest its description as deep as it likes.
    ~XmlElement();

    // The first child called `childName`; nullptr when there is none.
    const XmlElement* Child(const std::string& childName) const;
    // The value of attribute `attributeName` other than Name; nullptr when it has none.
    const std::string* Attribute(const std::string& attributeName) const;
};

// What a description may hold: GenICam descriptions nest a handful of levels and hold tens of
// thousands of elements and attributes; beyond these the camera is taken as hostile (RunError).
inline constexpr size_t MAX_XML_DEPTH = 256;
inline constexpr size_t MAX_XML_NODES = 1'000'000;   // elements and attributes together

// What a reader reports, in document order; builds the tree. RunError when it grows deeper than
// MAX_XML_DEPTH (its size the reader checks first, with CheckXmlNodeCount).
class XmlTreeBuilder {
public:
    void Open(std::string name, std::vector<std::pair<std::string, std::string>> attributes);
    void Text(const std::string& text);
    void Close();
    // The document's root element; RunError when none was opened.
    std::unique_ptr<XmlElement> Root();

private:
    std::unique_ptr<XmlElement> root_;
    XmlElement* open_ = nullptr;   // the innermost element not yet closed
    size_t depth_ = 0;             // elements open
};

// RunError when `xml` may hold more than MAX_XML_NODES elements and attributes, counting every
// start tag and every '=' (which no attribute lacks, and no entity adds, as neither reader expands
// a DTD's): checked before a parser builds a tree of its own from them.
void CheckXmlNodeCount(const std::string& xml);

// The root element of `xml`, which the reader may parse in place. RunError "the camera's description
// is not valid XML: ..." saying where it is not.
std::unique_ptr<XmlElement> ParseXml(std::string xml);

}  // namespace gvspfilter

// The description's XML read with pugixml. Host only.
#include <pugixml.hpp>

#include "tools/command_line.h"
#include "tools/xml.h"

namespace gvspfilter {

namespace {

// The document's nodes in document order, without recursing: the depth is the camera's choice.
// A node is removed once read, so that pugixml's pages go back as the element tree grows.
void Walk(pugi::xml_document& document, XmlTreeBuilder& builder)
{
    pugi::xml_node node = document.first_child();
    while (node) {
        if (node.type() == pugi::node_element) {
            std::vector<std::pair<std::string, std::string>> attributes;
            for (const pugi::xml_attribute attribute : node.attributes()) {
                attributes.emplace_back(attribute.name(), attribute.value());
            }
            builder.Open(node.name(), std::move(attributes));
            if (node.first_child()) {
                node = node.first_child();
                continue;
            }
            builder.Close();
        } else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
            builder.Text(node.value());
        }
        // On to the next sibling, closing every element whose last child this was.
        pugi::xml_node next = node.next_sibling();
        while (!next && node.parent() != document) {
            pugi::xml_node parent = node.parent();
            parent.remove_child(node);
            node = parent;
            builder.Close();
            next = node.next_sibling();
        }
        node.parent().remove_child(node);
        node = next;
    }
}

}  // namespace

std::unique_ptr<XmlElement> ParseXml(std::string xml)
{
    CheckXmlNodeCount(xml);
    // In place: the text's own bytes hold the parsed names and values, no second copy of them.
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer_inplace(xml.data(), xml.size());
    if (!parsed) {
        throw RunError(std::string("the camera's description is not valid XML: ") + parsed.description() +
                       " at byte " + std::to_string(parsed.offset));
    }
    XmlTreeBuilder builder;
    Walk(document, builder);
    return builder.Root();
}

}  // namespace gvspfilter

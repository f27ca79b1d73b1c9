// The description's XML read with pugixml. Host only.
#include <pugixml.hpp>

#include "tools/command_line.h"
#include "tools/xml.h"

namespace gvspfilter {

namespace {

void Walk(pugi::xml_node node, XmlTreeBuilder& builder)
{
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_element) {
            std::vector<std::pair<std::string, std::string>> attributes;
            for (const pugi::xml_attribute attribute : child.attributes()) {
                attributes.emplace_back(attribute.name(), attribute.value());
            }
            builder.Open(child.name(), std::move(attributes));
            Walk(child, builder);
            builder.Close();
        } else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            builder.Text(child.value());
        }
    }
}

}  // namespace

std::unique_ptr<XmlElement> ParseXml(const std::string& xml)
{
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        throw RunError(std::string("the camera's description is not valid XML: ") + parsed.description() +
                       " at byte " + std::to_string(parsed.offset));
    }
    XmlTreeBuilder builder;
    Walk(document, builder);
    return builder.Root();
}

}  // namespace gvspfilter

// The description's element tree, as either reader builds it. On the host and on Windows.
#include "tools/xml.h"

#include <algorithm>
#include <iterator>

#include "tools/command_line.h"

namespace gvspfilter {

XmlElement::~XmlElement()
{
    std::vector<std::unique_ptr<XmlElement>> pending = std::move(children);
    while (!pending.empty()) {
        std::unique_ptr<XmlElement> element = std::move(pending.back());
        pending.pop_back();
        std::move(element->children.begin(), element->children.end(), std::back_inserter(pending));
        element->children.clear();
    }
}

void CheckXmlNodeCount(const std::string& xml)
{
    size_t nodes = static_cast<size_t>(std::count(xml.begin(), xml.end(), '='));
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        // Not an end tag, a comment, a declaration or a processing instruction.
        nodes += at + 1 < xml.size() && xml[at + 1] != '/' && xml[at + 1] != '!' && xml[at + 1] != '?';
    }
    if (nodes > MAX_XML_NODES) {
        throw RunError("the camera's description has more than the " + std::to_string(MAX_XML_NODES) +
                       " elements and attributes it may have");
    }
}

const XmlElement* XmlElement::Child(const std::string& childName) const
{
    for (const std::unique_ptr<XmlElement>& child : children) {
        if (child->name == childName) {
            return child.get();
        }
    }
    return nullptr;
}

const std::string* XmlElement::Attribute(const std::string& attributeName) const
{
    for (const auto& [attribute, value] : attributes) {
        if (attribute == attributeName) {
            return &value;
        }
    }
    return nullptr;
}

void XmlTreeBuilder::Open(std::string name, std::vector<std::pair<std::string, std::string>> attributes)
{
    if (depth_ == MAX_XML_DEPTH) {
        throw RunError("the camera's description nests elements deeper than the " + std::to_string(MAX_XML_DEPTH) +
                       " levels it may have");
    }
    ++depth_;
    auto element = std::make_unique<XmlElement>();
    element->name = std::move(name);
    for (auto& attribute : attributes) {
        if (attribute.first == "Name") {
            element->nameAttribute = std::move(attribute.second);
        } else {
            element->attributes.push_back(std::move(attribute));
        }
    }
    element->parent = open_;
    XmlElement* opened = element.get();
    if (open_ != nullptr) {
        open_->children.push_back(std::move(element));
    } else if (root_ == nullptr) {
        root_ = std::move(element);
    } else {
        throw RunError("the camera's description is not valid XML: it has a second root element");
    }
    open_ = opened;
}

void XmlTreeBuilder::Text(const std::string& text)
{
    if (open_ != nullptr) {
        open_->text += text;
    }
}

void XmlTreeBuilder::Close()
{
    if (open_ != nullptr) {
        open_ = open_->parent;
        --depth_;
    }
}

std::unique_ptr<XmlElement> XmlTreeBuilder::Root()
{
    if (root_ == nullptr) {
        throw RunError("the camera's description is not valid XML: it has no element");
    }
    return std::move(root_);
}

}  // namespace gvspfilter

// The description's XML read with XmlLite, the reader every Windows has (xmllite.dll), over a
// memory stream of its bytes. Windows user mode only.
#include <windows.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <cstdio>

#include "tools/command_line.h"
#include "tools/xml.h"

namespace gvspfilter {

namespace {

struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};

std::string Utf8(const WCHAR* text, UINT length)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), bytes, nullptr, nullptr);
    return out;
}

// The value of the node the reader is on.
std::string Value(IXmlReader& reader)
{
    const WCHAR* value = nullptr;
    UINT length = 0;
    reader.GetValue(&value, &length);
    return Utf8(value, length);
}

std::string Failure(const char* what, HRESULT result)
{
    char text[128];
    std::snprintf(text, sizeof text, "%s (HRESULT 0x%08lX)", what, static_cast<unsigned long>(result));
    return text;
}

}  // namespace

std::unique_ptr<XmlElement> ParseXml(std::string xml)
{
    CheckXmlNodeCount(xml);
    std::unique_ptr<IStream, Releaser> stream(
        SHCreateMemStream(reinterpret_cast<const BYTE*>(xml.data()), static_cast<UINT>(xml.size())));
    IXmlReader* created = nullptr;
    HRESULT result = stream ? CreateXmlReader(__uuidof(IXmlReader), reinterpret_cast<void**>(&created), nullptr) : E_OUTOFMEMORY;
    std::unique_ptr<IXmlReader, Releaser> reader(created);
    if (SUCCEEDED(result)) {
        result = reader->SetInput(stream.get());
    }
    if (FAILED(result)) {
        throw RunError(Failure("XmlLite cannot read the camera's description", result));
    }
    XmlTreeBuilder builder;
    XmlNodeType type = XmlNodeType_None;
    while ((result = reader->Read(&type)) == S_OK) {
        if (type == XmlNodeType_Element) {
            const WCHAR* name = nullptr;
            UINT length = 0;
            reader->GetQualifiedName(&name, &length);
            std::string element = Utf8(name, length);
            // An empty element reports no end of its own; the reader leaves it for its attributes.
            const bool empty = reader->IsEmptyElement() != FALSE;
            std::vector<std::pair<std::string, std::string>> attributes;
            for (HRESULT at = reader->MoveToFirstAttribute(); at == S_OK; at = reader->MoveToNextAttribute()) {
                reader->GetQualifiedName(&name, &length);
                attributes.emplace_back(Utf8(name, length), Value(*reader));
            }
            builder.Open(std::move(element), std::move(attributes));
            if (empty) {
                builder.Close();
            }
        } else if (type == XmlNodeType_EndElement) {
            builder.Close();
        } else if (type == XmlNodeType_Text || type == XmlNodeType_CDATA) {
            builder.Text(Value(*reader));
        }
    }
    if (FAILED(result)) {
        UINT line = 0, column = 0;
        reader->GetLineNumber(&line);
        reader->GetLinePosition(&column);
        throw RunError(Failure(("the camera's description is not valid XML: at line " + std::to_string(line) + ", column " +
                                   std::to_string(column)).c_str(), result));
    }
    return builder.Root();
}

}  // namespace gvspfilter

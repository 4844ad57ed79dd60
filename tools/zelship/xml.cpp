#include "xml.h"

#include <expat.h>

#include <memory>

namespace zelship {

namespace {

struct Builder {
    XmlDocument* doc;
    int depth = 0;
    std::string field; // name of the grandchild being read
    std::string text;
};

void on_start(void* data, const XML_Char* name, const XML_Char** /*attributes*/)
{
    auto* b = static_cast<Builder*>(data);
    ++b->depth;
    if (b->depth == 1) b->doc->root = name;
    if (b->depth == 2) b->doc->children.push_back(XmlElement{name, {}, {}});
    if (b->depth == 3) b->field = name;
    b->text.clear();
}

void on_end(void* data, const XML_Char* /*name*/)
{
    auto* b = static_cast<Builder*>(data);
    if (b->depth == 2) b->doc->children.back().text = b->text;
    if (b->depth == 3) b->doc->children.back().fields[b->field] = b->text;
    b->text.clear();
    --b->depth;
}

void on_text(void* data, const XML_Char* s, int n)
{
    auto* b = static_cast<Builder*>(data);
    if (b->depth == 2 || b->depth == 3) b->text.append(s, static_cast<size_t>(n));
}

struct ParserFree {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

} // namespace

std::string XmlDocument::text(std::string_view name) const
{
    for (const auto& c : children)
        if (c.name == name) return c.text;
    return {};
}

bool parse_xml(std::string_view text, XmlDocument& out, std::string& error)
{
    out = XmlDocument{};
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate("UTF-8"));
    if (!parser || text.size() > static_cast<size_t>(INT32_MAX)) {
        error = "cannot read the answer's XML";
        return false;
    }
    Builder builder{&out, 0, {}, {}};
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), on_start, on_end);
    XML_SetCharacterDataHandler(parser.get(), on_text);
    if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
        error = std::string("malformed XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get()));
        return false;
    }
    return true;
}

} // namespace zelship

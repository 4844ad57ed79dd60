// The XML that S3 answers with, read with expat: the root element's children,
// each with its text and the text of its own children.  Deeper levels (such
// as a version's Owner) are skipped; that is all that S3's answers need here.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelship {

struct XmlElement {
    std::string name;
    std::string text;
    std::map<std::string, std::string> fields; // child name -> text (the last one wins)
};

struct XmlDocument {
    std::string root;
    std::vector<XmlElement> children;
    // Text of the first child of that name; "" when there is none.
    std::string text(std::string_view name) const;
};

// False with a message when the text is not well-formed XML.
[[nodiscard]] bool parse_xml(std::string_view text, XmlDocument& out, std::string& error);

} // namespace zelship

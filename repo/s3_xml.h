// The strict XML reader under the S3 backend (see s3_xml.cpp). Errors: repo::Error
// Kind::Damaged for anything that is not a well-formed document within its limits.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace repo::s3xml {

struct Node {
    std::string name;
    std::string text;  // the element's own character data, entities decoded
    std::vector<Node> children;

    // The first child of that name, or null.
    const Node* child(std::string_view name) const;
};

Node parse(std::string_view xml);

} // namespace repo::s3xml

// The S3 service's XML answers: a small strict parser for the few documents the backend
// reads (listings, errors, the start of a multipart upload). Its input comes from the
// network, so it bounds depth and size, knows only the predefined entities and character
// references, and refuses document types, CDATA and processing instructions after the
// declaration rather than guessing.
#include <charconv>

#include "repo/s3_backend.h"
#include "repo/s3_xml.h"

namespace repo::s3xml {

namespace {

constexpr int kMaxDepth = 16;
constexpr size_t kMaxNodes = 1u << 20;
constexpr size_t kMaxSize = 64u << 20;

class Parser {
public:
    explicit Parser(std::string_view in) : in_(in) {}

    Node document()
    {
        if (in_.size() > kMaxSize)
            bad("the document is too large");
        if (in_.substr(0, 3) == "\xEF\xBB\xBF")
            pos_ = 3;
        if (in_.substr(pos_, 5) == "<?xml") {
            size_t end = in_.find("?>", pos_);
            if (end == std::string_view::npos)
                bad("unterminated declaration");
            pos_ = end + 2;
        }
        misc();
        if (pos_ >= in_.size() || in_[pos_] != '<')
            bad("no root element");
        Node root = element(1);
        misc();
        if (pos_ != in_.size())
            bad("text after the root element");
        return root;
    }

private:
    [[noreturn]] void bad(const std::string& why) const
    {
        throw Error(Error::Kind::Damaged,
                    "the S3 service sent malformed XML (" + why + " at byte " + std::to_string(pos_) + ")");
    }

    bool at(std::string_view s) const { return in_.substr(pos_, s.size()) == s; }

    void spaces()
    {
        while (pos_ < in_.size() && (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\r' || in_[pos_] == '\n'))
            pos_++;
    }

    // Whitespace and comments between top-level parts.
    void misc()
    {
        for (;;) {
            spaces();
            if (at("<!--"))
                comment();
            else
                return;
        }
    }

    void comment()
    {
        size_t end = in_.find("-->", pos_ + 4);
        if (end == std::string_view::npos)
            bad("unterminated comment");
        pos_ = end + 3;
    }

    static bool name_char(char c)
    {
        return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':';
    }

    std::string name()
    {
        size_t start = pos_;
        while (pos_ < in_.size() && name_char(in_[pos_]))
            pos_++;
        if (pos_ == start || isdigit(static_cast<unsigned char>(in_[start])) || in_[start] == '-' || in_[start] == '.')
            bad("bad name");
        return std::string(in_.substr(start, pos_ - start));
    }

    static void put_utf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    // At '&': appends the character it stands for.
    void reference(std::string& out)
    {
        size_t semi = in_.find(';', pos_);
        if (semi == std::string_view::npos || semi - pos_ > 12)
            bad("unterminated reference");
        std::string_view ref = in_.substr(pos_ + 1, semi - pos_ - 1);
        if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "amp")
            out += '&';
        else if (ref == "quot")
            out += '"';
        else if (ref == "apos")
            out += '\'';
        else if (ref.size() >= 2 && ref[0] == '#') {
            bool hex = ref[1] == 'x';
            std::string_view digits = ref.substr(hex ? 2 : 1);
            uint32_t cp = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || cp == 0 ||
                cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                bad("bad character reference");
            put_utf8(out, cp);
        } else {
            bad("unknown entity");
        }
        pos_ = semi + 1;
    }

    void attributes()
    {
        for (;;) {
            size_t before = pos_;
            spaces();
            if (pos_ >= in_.size())
                bad("unterminated tag");
            if (in_[pos_] == '>' || in_[pos_] == '/')
                return;
            if (pos_ == before)
                bad("attributes must be separated by spaces");
            name();
            spaces();
            if (pos_ >= in_.size() || in_[pos_] != '=')
                bad("attribute without a value");
            pos_++;
            spaces();
            if (pos_ >= in_.size() || (in_[pos_] != '"' && in_[pos_] != '\''))
                bad("unquoted attribute value");
            char quote = in_[pos_++];
            std::string ignored;
            while (pos_ < in_.size() && in_[pos_] != quote) {
                if (in_[pos_] == '<')
                    bad("'<' in an attribute value");
                if (in_[pos_] == '&')
                    reference(ignored);
                else
                    pos_++;
            }
            if (pos_ >= in_.size())
                bad("unterminated attribute value");
            pos_++;
        }
    }

    Node element(int depth)
    {
        if (depth > kMaxDepth)
            bad("elements nested too deep");
        if (++nodes_ > kMaxNodes)
            bad("too many elements");
        pos_++; // '<'
        Node node;
        node.name = name();
        attributes();
        if (at("/>")) {
            pos_ += 2;
            return node;
        }
        if (in_[pos_] != '>')
            bad("bad tag");
        pos_++;
        for (;;) {
            if (pos_ >= in_.size())
                bad("unterminated element <" + node.name + ">");
            char c = in_[pos_];
            if (c == '&') {
                reference(node.text);
            } else if (c != '<') {
                node.text += c;
                pos_++;
            } else if (at("</")) {
                pos_ += 2;
                if (name() != node.name)
                    bad("mismatched end tag for <" + node.name + ">");
                spaces();
                if (pos_ >= in_.size() || in_[pos_] != '>')
                    bad("bad end tag");
                pos_++;
                return node;
            } else if (at("<!--")) {
                comment();
            } else if (at("<!") || at("<?")) {
                bad("unsupported markup");
            } else {
                node.children.push_back(element(depth + 1));
            }
        }
    }

    std::string_view in_;
    size_t pos_ = 0;
    size_t nodes_ = 0;
};

} // namespace

Node parse(std::string_view xml)
{
    return Parser(xml).document();
}

const Node* Node::child(std::string_view n) const
{
    for (const Node& c : children)
        if (c.name == n)
            return &c;
    return nullptr;
}

} // namespace repo::s3xml

namespace repo {

namespace {

[[noreturn]] void bad_listing(const std::string& why)
{
    throw Error(Error::Kind::Damaged, "the S3 service sent a listing that is not valid: " + why);
}

// Exactly one child of that name, or a damaged listing.
const s3xml::Node& only(const s3xml::Node& parent, std::string_view name)
{
    const s3xml::Node* found = nullptr;
    for (const auto& c : parent.children)
        if (c.name == name) {
            if (found)
                bad_listing("more than one <" + std::string(name) + ">");
            found = &c;
        }
    if (!found)
        bad_listing("no <" + std::string(name) + ">");
    return *found;
}

} // namespace

S3ListPage parse_s3_list(std::string_view xml)
{
    s3xml::Node root = s3xml::parse(xml);
    if (root.name != "ListBucketResult")
        bad_listing("the document is a <" + root.name + ">");
    S3ListPage page;
    bool saw_truncated = false;
    for (const auto& c : root.children) {
        if (c.name == "Contents") {
            const std::string& key = only(c, "Key").text;
            const std::string& size = only(c, "Size").text;
            if (key.empty() || key.size() > 1024 || key.find('\0') != std::string::npos)
                bad_listing("a key that is empty, too long or holds a NUL");
            uint64_t n = 0;
            auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), n);
            if (size.empty() || ec != std::errc() || end != size.data() + size.size() || n > (1ull << 62))
                bad_listing("the size \"" + size.substr(0, 32) + "\" of " + key);
            page.objects.push_back({key, n});
        } else if (c.name == "IsTruncated") {
            if (saw_truncated || (c.text != "true" && c.text != "false"))
                bad_listing("<IsTruncated> is not a single true or false");
            saw_truncated = true;
            page.truncated = c.text == "true";
        } else if (c.name == "NextContinuationToken") {
            page.next_token = c.text;
        }
    }
    if (page.truncated && page.next_token.empty())
        bad_listing("a truncated page without a continuation token");
    if (page.next_token.size() > 4096)
        bad_listing("a continuation token too long");
    return page;
}

S3ErrorInfo parse_s3_error(std::string_view xml)
{
    S3ErrorInfo info;
    try {
        s3xml::Node root = s3xml::parse(xml);
        if (root.name != "Error")
            return info;
        auto text = [&](const char* n) {
            const s3xml::Node* c = root.child(n);
            return c ? c->text.substr(0, 512) : std::string();
        };
        info.code = text("Code");
        info.message = text("Message");
        info.region = text("Region");
    } catch (const Error&) {
    }
    return info;
}

} // namespace repo

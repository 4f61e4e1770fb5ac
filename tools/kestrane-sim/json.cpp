#include "json.h"

namespace ksim {

namespace {

// A recursive-descent recogniser of RFC 8259 JSON; nesting is bounded so a hostile file cannot exhaust
// the stack.
class Recogniser
{
public:
    Recogniser(const Bytes &text)
        : text_(text)
    { }

    bool wholeArray()
    {
        space();
        if (!peek('['))
            return false;
        if (!value(0))
            return false;
        space();
        return at_ == text_.size();
    }

private:
    static constexpr int kMaxDepth = 64;

    bool more() const { return at_ < text_.size(); }
    bool peek(char c) const { return more() && text_[at_] == static_cast<std::uint8_t>(c); }

    void space()
    {
        while (more() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool literal(const char *word)
    {
        for (; *word; ++word, ++at_) {
            if (!peek(*word))
                return false;
        }
        return true;
    }

    bool digits()
    {
        const std::size_t start = at_;
        while (more() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        return at_ > start;
    }

    bool number()
    {
        if (peek('-'))
            ++at_;
        if (peek('0'))
            ++at_;
        else if (!digits())
            return false;
        if (peek('.')) {
            ++at_;
            if (!digits())
                return false;
        }
        if (peek('e') || peek('E')) {
            ++at_;
            if (peek('+') || peek('-'))
                ++at_;
            if (!digits())
                return false;
        }
        return true;
    }

    bool string()
    {
        ++at_; // opening quote
        while (more()) {
            const std::uint8_t c = text_[at_++];
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\')
                continue;
            if (!more())
                return false;
            const std::uint8_t escape = text_[at_++];
            if (escape == 'u') {
                for (int i = 0; i < 4; ++i) {
                    if (!more() || hexDigit(static_cast<char>(text_[at_++])) < 0)
                        return false;
                }
            } else if (std::string("\"\\/bfnrt").find(static_cast<char>(escape)) == std::string::npos) {
                return false;
            }
        }
        return false;
    }

    bool sequence(char close, int depth, bool members)
    {
        ++at_; // opening bracket
        space();
        if (peek(close)) {
            ++at_;
            return true;
        }
        for (;;) {
            space();
            if (members) {
                if (!peek('"') || !string())
                    return false;
                space();
                if (!peek(':'))
                    return false;
                ++at_;
            }
            if (!value(depth + 1))
                return false;
            space();
            if (peek(close)) {
                ++at_;
                return true;
            }
            if (!peek(','))
                return false;
            ++at_;
        }
    }

    bool value(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        space();
        if (!more())
            return false;
        switch (text_[at_]) {
        case '[':
            return sequence(']', depth, false);
        case '{':
            return sequence('}', depth, true);
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    const Bytes &text_;
    std::size_t at_ = 0;
};

} // namespace

std::string latin1ToUtf8(const std::string &latin1)
{
    std::string utf8;
    for (char c : latin1) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

bool utf8ToLatin1(const std::string &utf8, std::string &latin1)
{
    latin1.clear();
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            latin1 += static_cast<char>(lead);
            continue;
        }
        // Only U+0080..U+00FF fit in Latin-1: two-byte sequences with lead C2 or C3.
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= utf8.size())
            return false;
        const auto next = static_cast<unsigned char>(utf8[++i]);
        if ((next & 0xC0) != 0x80)
            return false;
        latin1 += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
    }
    return true;
}

std::string jsonString(const std::string &latin1)
{
    std::string out = "\"";
    for (char c : latin1) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (code < 0x20) {
            out += "\\u00" + hexValue(code, 2);
        } else {
            out += latin1ToUtf8(std::string(1, c));
        }
    }
    return out + "\"";
}

bool isJsonArray(const Bytes &text)
{
    return Recogniser(text).wholeArray();
}

} // namespace ksim

#include "hex.h"

#include <cctype>
#include <cstdio>

namespace ksim {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool allHex(const std::string &text)
{
    for (char c : text) {
        if (hexDigit(c) < 0)
            return false;
    }
    return true;
}

bool parseHex(const std::string &text, Bytes &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t')
            continue;
        const int digit = hexDigit(c);
        if (digit < 0)
            return false;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

bool parseNumber(const std::string &text, std::uint64_t &out)
{
    std::string digits = trim(text);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 16)
        return false;
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = hexDigit(c);
        if (digit < 0 || digit >= base)
            return false;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    out = value;
    return true;
}

bool parseDecimal(const std::string &digits, std::uint64_t &value)
{
    if (digits.empty() || digits.size() > 9)
        return false;
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

std::string toHex(const std::uint8_t *data, std::size_t size, const char *separator)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            text += separator;
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

std::string toHex(const Bytes &bytes, const char *separator)
{
    return toHex(bytes.data(), bytes.size(), separator);
}

std::string hexValue(std::uint32_t value, int digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
    return buffer;
}

std::string printable(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            text += buffer;
        }
    }
    return text;
}

std::string trim(const std::string &text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

std::string toUpper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string toLower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool parseRange(const std::string &text, std::uint64_t &first, std::uint64_t &count)
{
    const auto colon = text.find(':');
    count = 1;
    if (!parseNumber(text.substr(0, colon), first) || first == 0)
        return false;
    return colon == std::string::npos || (parseNumber(text.substr(colon + 1), count) && count != 0);
}

} // namespace ksim

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ksim {

using Bytes = std::vector<std::uint8_t>;

// Value of one hexadecimal digit, or -1 when the character is not one.
int hexDigit(char c);

// Whether every character is a hexadecimal digit (true for an empty text).
bool allHex(const std::string &text);

// Parses hexadecimal text after dropping spaces and tabs. Fails on any other character or an odd digit count.
bool parseHex(const std::string &text, Bytes &out);

// Parses an unsigned number given in decimal, or in hexadecimal with a 0x prefix.
bool parseNumber(const std::string &text, std::uint64_t &out);
// "N" or "N:C", both from 1: the first of C in a row (1 when not given).
bool parseRange(const std::string &text, std::uint64_t &first, std::uint64_t &count);

// Parses 1..9 decimal digits and nothing else, as the adapter's commands take their decimal arguments.
bool parseDecimal(const std::string &digits, std::uint64_t &value);

// Upper-case hexadecimal, with the separator between bytes.
std::string toHex(const std::uint8_t *data, std::size_t size, const char *separator = "");
std::string toHex(const Bytes &bytes, const char *separator = "");

// Upper-case hexadecimal of value, zero-padded to digits.
std::string hexValue(std::uint32_t value, int digits);

// Makes raw bytes safe for a one-line log entry: printable ASCII stays, everything else becomes \xHH.
std::string printable(const std::string &bytes);

std::string trim(const std::string &text);
std::string toUpper(std::string text);
std::string toLower(std::string text);

} // namespace ksim

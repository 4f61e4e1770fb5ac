#pragma once

#include "hex.h"

#include <string>

namespace ksim {

// The little JSON the device firmware needs: it writes its replies by hand and only has to recognise
// whether a stored file holds a JSON array before serving it as the active configuration.

// A JSON string literal (with quotes) of Latin-1 text, encoded as UTF-8 as JSON requires.
std::string jsonString(const std::string &latin1);

// True when the whole text is one JSON array (surrounding white space allowed).
bool isJsonArray(const Bytes &text);

// UTF-8 of Latin-1 text, and back; the way back fails on malformed UTF-8 or characters above U+00FF.
std::string latin1ToUtf8(const std::string &latin1);
bool utf8ToLatin1(const std::string &utf8, std::string &latin1);

} // namespace ksim

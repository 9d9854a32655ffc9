#pragma once

// How a failed expectation shows a server text: its bytes, with those outside printable ASCII
// as hexadecimal escapes, so that a mismatch is readable without decoding anything.

#include "Win1256.h"

#include <cstdio>
#include <ostream>

inline void PrintTo(const TServerText& text, std::ostream* out) {
    *out << "TServerText(\"";
    for (char c : text.Bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            *out << c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            *out << escaped;
        }
    }
    *out << "\")";
}

#include "Cp1256.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace testserver {
namespace {

// The characters of the bytes 0x80 to 0xFF, in byte order; 0x00 to 0x7F are ASCII.
constexpr std::array<std::uint16_t, 128> kUpper = {
    8364, 1662, 8218, 402,  8222, 8230, 8224, 8225, 710,  8240, 1657, 8249, 338,  1670, 1688, 1672,
    1711, 8216, 8217, 8220, 8221, 8226, 8211, 8212, 1705, 8482, 1681, 8250, 339,  8204, 8205, 1722,
    160,  1548, 162,  163,  164,  165,  166,  167,  168,  169,  1726, 171,  172,  173,  174,  175,
    176,  177,  178,  179,  180,  181,  182,  183,  184,  185,  1563, 187,  188,  189,  190,  1567,
    1729, 1569, 1570, 1571, 1572, 1573, 1574, 1575, 1576, 1577, 1578, 1579, 1580, 1581, 1582, 1583,
    1584, 1585, 1586, 1587, 1588, 1589, 1590, 215,  1591, 1592, 1593, 1594, 1600, 1601, 1602, 1603,
    224,  1604, 226,  1605, 1606, 1607, 1608, 231,  232,  233,  234,  235,  1609, 1610, 238,  239,
    1611, 1612, 1613, 1614, 244,  1615, 1616, 247,  1617, 249,  1618, 251,  252,  8206, 8207, 1746,
};

int ByteOf(char32_t cp) {
    if (cp < 0x80)
        return static_cast<int>(cp);
    for (std::size_t i = 0; i < kUpper.size(); ++i)
        if (kUpper[i] == cp)
            return static_cast<int>(0x80 + i);
    return -1;
}

// Decodes one UTF-8 sequence at `pos`; returns false on a malformed one.
bool NextCodePoint(std::string_view s, std::size_t& pos, char32_t& cp) {
    const auto b0 = static_cast<std::uint8_t>(s[pos]);
    int extra = 0;
    if (b0 < 0x80) {
        cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        cp = b0 & 0x1F;
        extra = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
        cp = b0 & 0x0F;
        extra = 2;
    } else if ((b0 & 0xF8) == 0xF0) {
        cp = b0 & 0x07;
        extra = 3;
    } else {
        return false;
    }
    if (pos + extra >= s.size() && extra > 0)
        return false;
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<std::uint8_t>(s[pos + i]);
        if ((b & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    pos += 1 + extra;
    return true;
}

} // namespace

bool EncodeCp1256(std::string_view utf8, std::string& out, std::string& bad) {
    out.clear();
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t cp = 0;
        const std::size_t at = pos;
        if (!NextCodePoint(utf8, pos, cp)) {
            bad = "malformed UTF-8 at byte " + std::to_string(at);
            return false;
        }
        const int b = ByteOf(cp);
        if (b < 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
            bad = std::string("character ") + buf + " has no Windows-1256 byte";
            return false;
        }
        out.push_back(static_cast<char>(b));
    }
    return true;
}

} // namespace testserver

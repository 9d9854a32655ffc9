#pragma once

// Windows-1256 (Arabic script) text: the 8-bit text that the server sends and expects.
// Bytes from the server are kept as they came and decoded only to be shown; text typed by the
// user is encoded before it is scrambled or sent.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// A text in the server's code page: Windows-1256 bytes, as they came from a server or as they
// go to one. It never turns into a std::string by itself, nor one into it, so that a server
// text cannot be shown undecoded or decoded twice: the bytes are reached through `Bytes` only
// where they are read from or written to the wire, and DecodeWin1256 makes them UTF-8.
struct TServerText {
    std::string Bytes;

    TServerText() = default;
    explicit TServerText(std::string bytes) : Bytes(std::move(bytes)) {}
    // Texts the console makes itself and mixes with server texts ("UNKNOWN", " - ", digits):
    // ASCII, whose bytes are the same in both code pages.
    static TServerText Ascii(std::string_view text) { return TServerText(std::string(text)); }

    bool empty() const { return Bytes.empty(); }
    std::size_t size() const { return Bytes.size(); }
    void clear() { Bytes.clear(); }

    TServerText& operator+=(const TServerText& other) {
        Bytes += other.Bytes;
        return *this;
    }
    friend TServerText operator+(TServerText left, const TServerText& right) {
        left += right;
        return left;
    }
    friend bool operator==(const TServerText&, const TServerText&) = default;
    friend std::strong_ordering operator<=>(const TServerText&, const TServerText&) = default;
};

// A server text in UTF-8. Every byte has a character, so this never fails.
std::string DecodeWin1256(const TServerText& text);

// UTF-8 to a server text. A character that the code page lacks, or a malformed UTF-8
// sequence, becomes "?"; `lossless` (when given) tells whether that happened.
TServerText EncodeWin1256(std::string_view utf8, bool* lossless = nullptr);

// The Unicode code point of one Windows-1256 byte.
char32_t Win1256ToUnicode(std::uint8_t byte);

// Decodes one UTF-8 sequence at `pos`, advancing it; a malformed sequence yields U+FFFD and
// advances by one byte.
char32_t NextUtf8CodePoint(std::string_view utf8, std::size_t& pos);
void AppendUtf8(std::string& out, char32_t cp);

// The number of code points of a UTF-8 text, and the text cut to at most `count` of them.
std::size_t Utf8Length(std::string_view utf8);
std::string Utf8Left(std::string_view utf8, std::size_t count);

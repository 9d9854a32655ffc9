#pragma once

// Windows-1256 (Arabic script) text: the 8-bit text that the server sends and expects.
// Bytes from the server are kept as they came and decoded only to be shown; text typed by the
// user is encoded before it is scrambled or sent.

#include <cstdint>
#include <string>
#include <string_view>

// Bytes in Windows-1256 to UTF-8. Every byte has a character, so this never fails.
std::string DecodeWin1256(std::string_view bytes);

// UTF-8 to Windows-1256 bytes. A character that the code page lacks, or a malformed UTF-8
// sequence, becomes "?"; `lossless` (when given) tells whether that happened.
std::string EncodeWin1256(std::string_view utf8, bool* lossless = nullptr);

// The Unicode code point of one Windows-1256 byte.
char32_t Win1256ToUnicode(std::uint8_t byte);

// Decodes one UTF-8 sequence at `pos`, advancing it; a malformed sequence yields U+FFFD and
// advances by one byte.
char32_t NextUtf8CodePoint(std::string_view utf8, std::size_t& pos);
void AppendUtf8(std::string& out, char32_t cp);

// The number of code points of a UTF-8 text, and the text cut to at most `count` of them.
std::size_t Utf8Length(std::string_view utf8);
std::string Utf8Left(std::string_view utf8, std::size_t count);

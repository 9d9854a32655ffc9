#pragma once

// UTF-8 to Windows-1256, the 8-bit code page in which the server keeps and sends its texts.
// The reference server stores its fixture texts as UTF-8 and encodes them on load.

#include <string>
#include <string_view>

namespace testserver {

// Encodes `utf8` into `out`. Returns false (with `out` partly filled) when the text is not
// well-formed UTF-8 or holds a character that the code page cannot represent; `bad` then
// receives a short description of the first offending character.
bool EncodeCp1256(std::string_view utf8, std::string& out, std::string& bad);

} // namespace testserver

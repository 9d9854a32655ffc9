#pragma once

// Text helpers of the broker windows. Texts are UTF-8; lengths count characters.

#include <cstddef>
#include <string>
#include <string_view>

// Every "&" doubled, so that a caption or a message box shows the ampersand itself.
std::string EscapeAmpersands(std::string_view text);

// Resolves the five predefined entity references that are left in a text after parsing:
// "&lt;", "&gt;", "&apos;", "&quot;" and last "&amp;", each in one left-to-right pass that
// does not rescan what it inserted.
std::string UnescapeXML(std::string_view text);

// The text cut to at most `count` characters.
std::string CutText(std::string_view text, std::size_t count);

// Leading and trailing blanks and control characters removed.
std::string TrimBlanks(std::string_view text);

// The letters a to z in upper case; every other byte as it is.
std::string UpperCaseAscii(std::string_view text);

#include "BrokerText.h"

#include "Win1256.h"

namespace {

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

} // namespace

std::string EscapeAmpersands(std::string_view text) {
    return ReplaceAll(text, "&", "&&");
}

std::string UnescapeXML(std::string_view text) {
    std::string s = ReplaceAll(text, "&lt;", "<");
    s = ReplaceAll(s, "&gt;", ">");
    s = ReplaceAll(s, "&apos;", "'");
    s = ReplaceAll(s, "&quot;", "\"");
    return ReplaceAll(s, "&amp;", "&");
}

std::string CutText(std::string_view text, std::size_t count) {
    if (text.size() <= count)
        return std::string(text); // never more characters than bytes
    return Utf8Left(text, count);
}

std::string TrimBlanks(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return std::string(text.substr(begin, end - begin));
}

std::string UpperCaseAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

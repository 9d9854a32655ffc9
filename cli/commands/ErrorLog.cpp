// error-log: the whole server error log.

#include "Commands.h"

#include "CliOutput.h"
#include "CommandSupport.h"
#include "ViewRules.h"

namespace {

// The log is written in pieces, each decoded and escaped on its own, so that no more than
// the log itself and one piece are held.
constexpr std::size_t kLogPiece = 64 * 1024;

} // namespace

bool ErrorLog(TCliContext& ctx) {
    TServerText log;
    if (ReadWholeServerErrorLog(1, log) != TExchangeResult::Done)
        return false;
    // Walked byte by byte below; each piece is a server text of its own.
    const std::string& text = log.Bytes;
    if (ctx.Json) {
        // {"text": "..."}: the string's escaped pieces between its quotes. Windows-1256 is
        // one byte a character, so the log can be cut anywhere.
        Out("{\n  \"text\": \"");
        std::string piece;
        for (std::size_t at = 0; at < text.size() && !OutputFailed(); at += kLogPiece) {
            piece.clear();
            AppendJsonString(piece, Text(TServerText(text.substr(at, kLogPiece))));
            Out(std::string_view(piece).substr(1, piece.size() - 2));
        }
        Out("\"\n}\n");
        return true;
    }
    // The platform's line ends; every other control character escaped. A piece never ends
    // between the CR and the LF of a line end.
    for (std::size_t at = 0; at < text.size() && !OutputFailed();) {
        std::size_t length = std::min(kLogPiece, text.size() - at);
        if (text[at + length - 1] == '\r' && at + length < text.size())
            ++length;
        std::string piece;
        piece.reserve(length);
        for (std::size_t i = at; i < at + length; ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                continue; // the platform's line end
            piece.push_back(text[i]);
        }
        Out(EscapeControls(Text(TServerText(std::move(piece))), true));
        at += length;
    }
    return true;
}

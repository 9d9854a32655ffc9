#pragma once

// What the server commands' output shares: texts from the server decoded for output, server
// date-times in the command-line tool's two forms, the confirmation that the console would
// ask, and the walk over a list reply.

#include "ConsoleRequests.h"
#include "MessagePresenters.h"
#include "Win1256.h"

#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

class TJsonWriter;

// A text from the server (Windows-1256) in UTF-8.
inline std::string Text(const TServerText& serverText) {
    return DecodeWin1256(serverText);
}

// A server date-time as "YYYY-MM-DDTHH:MM:SS", or null with a warning naming the field (the
// name is built only for the warning, and escaped: it holds a name from the server). The
// warning is given only when `warn` is set, so that a list walked twice warns once.
template <typename Field>
std::optional<std::string> TimeValue(const TServerDateTime& value, const Field& field,
                                     bool warn = true) {
    const auto decoded = DecodeServerDateTime(value);
    if (!decoded) {
        if (warn) {
            std::string message =
                "warning: " + EscapeControls(field()) + " is not a valid date and time (bytes";
            for (std::uint8_t b : value)
                message += ' ' + std::to_string(int{b});
            std::cerr << message << ")\n";
        }
        return std::nullopt;
    }
    return FormatIsoDateTime(*decoded);
}

// The date-time of TimeValue as a JSON string, or null.
void WriteTime(TJsonWriter& out, const std::optional<std::string>& value);

// The date-time of TimeValue as tables show it, "YYYY/MM/DD HH:MM:SS", or "invalid".
std::string TimeText(const std::optional<std::string>& value);

// The console's confirmation, answered as the command line answers it (Yes).
bool Confirm(const std::string& question);

// Walks a list reply (no data: no records); false when the walk ran out of memory (shown).
template <typename Record>
bool Walk(bool (*forEach)(TReplyBuffer*, std::uint16_t, const std::function<void(Record&)>&),
          const TListReply& reply, const std::function<void(Record&)>& each) {
    return !reply.Data || forEach(reply.Data.get(), reply.Count, each);
}

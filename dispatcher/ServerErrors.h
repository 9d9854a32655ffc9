#pragma once

// How the console tells the administrator that a server request failed, and its own error
// log of the failures that the lower layers do not show.

#include <cstdint>
#include <optional>
#include <string>

// Selects the Farsi texts and heading of the server error box (the default) or the English.
extern bool UseFarsiMessages;

// The text of the server error box: the heading with the number and, for 1..221, a line
// break and the table text; at most 255 characters. Empty for 65000 (nothing is shown).
std::string ServerErrorText(std::uint16_t number);
// The same in the language given, whatever UseFarsiMessages says.
std::string ServerErrorText(std::uint16_t number, bool farsi);
// The number of a server error box's English text ("Server Error Number N..."), or nothing for
// any other text.
std::optional<std::uint16_t> ServerErrorNumberOf(const std::string& englishText);
std::string ClientInternalErrorText(std::uint16_t number);

void ShowServerError(std::uint16_t number);
void ShowClientInternalError(std::uint16_t number);
void ShowOutOfMemory();

// The log file TARVWEB.ERR in the program directory: made sure to exist, and the log lock
// created. Entries logged before this are dropped.
void InitErrorLog();
// Appends one entry of two lines: the program file's name, " (", the local date and time,
// "):", then the message. Failures to write are ignored.
void LogError(const std::string& message);
// The log file's name once InitErrorLog has set it.
std::string ErrorLogFileName();
// Ends the log (as the program does when it closes); tests use it to start over.
void DoneErrorLog();

#pragma once

// Output of zephran-admin: one JSON document, or aligned tables for people.
//
// Everything meant for standard output goes through Out(), which remembers the first write
// that failed (a full disk, a closed pipe); FinishOutput() flushes and reports such a failure
// once, so that no output is ever lost silently.
//
// Texts that came from a peer (names, log lines, broker texts) never reach a terminal raw:
// tables and messages show their control characters escaped (EscapeControls).

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

// Writes to standard output; after a failed write nothing more is written.
void Out(std::string_view text);
// True once a write to standard output has failed.
bool OutputFailed();
// Flushes standard output; false, with "Could not write the output: " and the system's
// reason on standard error, when any write failed.
bool FinishOutput();

// The text with every control character shown as an escape: C0 (but tab, and line feed when
// `keepLineFeeds`), DEL and ESC as "\x1b", C1 as "\u009b", and bytes that are not UTF-8 as
// "\xNN". Printable text, Arabic script included, is kept as it is.
std::string EscapeControls(std::string_view utf8, bool keepLineFeeds = false);

void PrintJson(const nlohmann::json& document);
// A table with aligned columns (widths counted in characters); the last column is not padded.
// Cells are escaped with EscapeControls.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

#pragma once

// Output of zephran-admin: one JSON document, or aligned tables for people.
//
// Everything meant for standard output goes through Out(), which remembers the first write
// that failed (a full disk, a closed pipe); FinishOutput() flushes and reports such a failure
// once, so that no output is ever lost silently.
//
// Texts that came from a peer (names, log lines, broker texts) never reach a terminal raw:
// tables and messages show their control characters escaped (EscapeControls).

#include "MessagePresenters.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writes to standard output; after a failed write nothing more is written.
void Out(std::string_view text);
// True once a write to standard output has failed.
bool OutputFailed();
// Flushes what was written so far; false when a write has failed (reported by FinishOutput).
bool FlushOutput();
// Flushes standard output; false, with "Could not write the output: " and the system's
// reason on standard error, when any write failed.
bool FinishOutput();

// EscapeControls (from MessagePresenters.h) shows a text's control characters escaped.

void PrintJson(const nlohmann::json& document);
// A table with aligned columns (widths counted in characters); the last column is not padded.
// Cells are escaped with EscapeControls.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

// A JSON document written as it is made, without a tree of values, in the form PrintJson
// gives (an indent of two spaces, an empty array as [], strings escaped as JSON escapes them),
// with the keys in the order written. It is handed to Out() in pieces, so that a list of any
// length holds only the piece being made.
//
// A compact writer puts the whole document on one line, without blanks (a line of JSON Lines).
class TJsonWriter {
public:
    static constexpr bool kCompact = true;

    explicit TJsonWriter(bool compact = false) : compact_(compact) {}
    TJsonWriter(const TJsonWriter&) = delete;
    TJsonWriter& operator=(const TJsonWriter&) = delete;

    TJsonWriter& BeginObject();
    TJsonWriter& EndObject();
    TJsonWriter& BeginArray();
    TJsonWriter& EndArray();
    // The key of the next value in an object.
    TJsonWriter& Key(std::string_view key);
    TJsonWriter& String(std::string_view utf8);
    TJsonWriter& Number(std::int64_t value);
    // A floating-point number, in the form PrintJson gives it (the shortest text that reads back
    // as the same value; null for what JSON cannot hold).
    TJsonWriter& Real(double value);
    TJsonWriter& Bool(bool value);
    TJsonWriter& Null();
    // A value already in JSON's form (a number made by the caller).
    TJsonWriter& Raw(std::string_view json);
    // Writes what is left, with the document's final line end; call it once, at the end.
    void Finish();

private:
    void BeforeValue();
    void Close(char bracket);
    void Flush();

    struct TLevel {
        bool Array = false;
        bool Empty = true;
    };
    std::vector<TLevel> levels_;
    std::string pending_;
    bool keyed_ = false;
    bool compact_ = false;
};

// The text as a JSON string, quotes included: escaped as PrintJson escapes it, and DEL and the
// C1 controls (which a terminal may still act on) as \u escapes too; bytes that are not UTF-8
// replaced by U+FFFD.
void AppendJsonString(std::string& out, std::string_view utf8);

// An aligned table printed from two passes over its rows, so that the rows need not be held:
// every row is measured first, then every row is printed in the same way PrintTable does.
class TTableLayout {
public:
    TTableLayout() = default;
    // A table headed by `header`: measured as a row now, printed by PrintHeader().
    explicit TTableLayout(std::vector<std::string> header);

    void Measure(const std::vector<std::string>& cells);
    void PrintHeader() const { Print(header_); }
    void Print(const std::vector<std::string>& cells) const;

private:
    std::vector<std::string> header_;
    std::vector<std::size_t> widths_;
};

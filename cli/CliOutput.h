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

// EscapeControls (from MessagePresenters.h) shows a text's control characters escaped.

void PrintJson(const nlohmann::json& document);
// A table with aligned columns (widths counted in characters); the last column is not padded.
// Cells are escaped with EscapeControls.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

// The document {"key": [records]} written one record at a time, in exactly the form PrintJson
// gives the whole document (an empty list included), so that only one record is held.
class TJsonListWriter {
public:
    explicit TJsonListWriter(std::string key) : key_(std::move(key)) {}
    void Add(const nlohmann::json& record);
    // Closes the list and the document; call it once, after the last record.
    void Finish();

private:
    std::string key_;
    bool started_ = false;
};

// An aligned table printed from two passes over its rows, so that the rows need not be held:
// every row is measured first, then every row is printed in the same way PrintTable does.
class TTableLayout {
public:
    void Measure(const std::vector<std::string>& cells);
    void Print(const std::vector<std::string>& cells) const;

private:
    std::vector<std::size_t> widths_;
};

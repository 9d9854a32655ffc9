#pragma once

// Presenters without a window: one for the command-line tool, one for tests.

#include "MessageDialogs.h"

#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// The text with every control character shown as an escape, so that text from a peer never
// reaches a terminal raw: C0 (but tab, and line feed when `keepLineFeeds`), DEL and ESC as
// "\x1b", C1 as "\u009b", and bytes that are not UTF-8 as "\xNN". Printable text, Arabic script
// included, is kept as it is.
std::string EscapeControls(std::string_view utf8, bool keepLineFeeds = false);

// The length of the UTF-8 sequence that starts at `at`, 0 when the bytes there are not UTF-8
// (overlong forms, surrogates and code points beyond U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view s, std::size_t at);

// Writes each box's text to a stream (standard error by default), as the box would show it
// (line ends and "&&" folded) with its control characters escaped, and answers on the user's
// behalf: Yes when the box offers it (the command itself was the request, and a slow broker is
// abandoned), otherwise the default button. Questions of kind confirmation are answered without
// being written.
class TStderrMessagePresenter final : public IMessagePresenter {
public:
    explicit TStderrMessagePresenter(std::FILE* out = stderr) : out_(out) {}
    TMsgDlgBtn Present(const TMessageRequest& request) override;

private:
    std::FILE* out_;
};

// Records every box and answers from a script, in order; once the script runs out it answers
// with the box's default button. Installs itself while it lives.
class TRecordingMessagePresenter final : public IMessagePresenter {
public:
    TRecordingMessagePresenter();
    ~TRecordingMessagePresenter() override;
    TRecordingMessagePresenter(const TRecordingMessagePresenter&) = delete;
    TRecordingMessagePresenter& operator=(const TRecordingMessagePresenter&) = delete;

    TMsgDlgBtn Present(const TMessageRequest& request) override;

    void Answer(TMsgDlgBtn button) { script_.push_back(button); }
    const std::vector<TMessageRequest>& Messages() const { return messages_; }
    std::vector<std::string> Texts() const;
    void Clear() { messages_.clear(); }

private:
    IMessagePresenter* previous_;
    std::deque<TMsgDlgBtn> script_;
    std::vector<TMessageRequest> messages_;
};

#include "MessagePresenters.h"

namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static const char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.push_back(kHex[(value >> shift) & 0xF]);
}

} // namespace

std::size_t Utf8SequenceLength(std::string_view s, std::size_t at) {
    const auto b = static_cast<unsigned char>(s[at]);
    std::size_t length = 0;
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF)
        length = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        length = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        length = 4;
    else
        return 0;
    if (at + length > s.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80)
            return 0;
    const auto b1 = static_cast<unsigned char>(s[at + 1]);
    if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F) || (b == 0xF0 && b1 < 0x90) ||
        (b == 0xF4 && b1 > 0x8F))
        return 0; // overlong, surrogate or beyond U+10FFFF
    return length;
}

std::string EscapeControls(std::string_view s, bool keepLineFeeds) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t length = Utf8SequenceLength(s, i);
        if (length == 0) {
            AppendHex(out, "\\x", b, 2);
            ++i;
        } else if (length == 1) {
            if ((b < 0x20 && b != '\t' && !(keepLineFeeds && b == '\n')) || b == 0x7F)
                AppendHex(out, "\\x", b, 2);
            else
                out.push_back(static_cast<char>(b));
            ++i;
        } else {
            if (b == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F)
                AppendHex(out, "\\u", static_cast<unsigned char>(s[i + 1]), 4);
            else
                out.append(s.substr(i, length));
            i += length;
        }
    }
    return out;
}

TMsgDlgBtn TStderrMessagePresenter::Present(const TMessageRequest& request) {
    if (request.Kind != TMsgDlgType::mtConfirmation && out_ != nullptr) {
        const std::string text = EscapeControls(DisplayedMessageText(request.Text), true);
        std::fputs(text.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    return request.Buttons.Contains(TMsgDlgBtn::mbYes) ? TMsgDlgBtn::mbYes : request.DefaultButton;
}

TRecordingMessagePresenter::TRecordingMessagePresenter() : previous_(SetMessagePresenter(this)) {}

TRecordingMessagePresenter::~TRecordingMessagePresenter() {
    if (CurrentMessagePresenter() == this)
        SetMessagePresenter(previous_);
}

TMsgDlgBtn TRecordingMessagePresenter::Present(const TMessageRequest& request) {
    messages_.push_back(request);
    if (script_.empty())
        return request.DefaultButton;
    const TMsgDlgBtn answer = script_.front();
    script_.pop_front();
    return answer;
}

std::vector<std::string> TRecordingMessagePresenter::Texts() const {
    std::vector<std::string> texts;
    texts.reserve(messages_.size());
    for (const auto& m : messages_)
        texts.push_back(m.Text);
    return texts;
}

#include "MessagePresenters.h"

TMsgDlgBtn TStderrMessagePresenter::Present(const TMessageRequest& request) {
    if (request.Kind != TMsgDlgType::mtConfirmation && out_ != nullptr) {
        const std::string text = DisplayedMessageText(request.Text);
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

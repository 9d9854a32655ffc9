#include "MessageDialogs.h"

#include "MessagePresenters.h"

#include <cctype>

#if defined(__linux__)
#include <climits>
#include <unistd.h>
#endif

namespace {

IMessagePresenter* g_presenter = nullptr;
std::string g_applicationFileName;
bool g_applicationFileNameSet = false;

std::string RunningExecutableName() {
#if defined(__linux__)
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) {
        std::string full(path, static_cast<std::size_t>(n));
        const auto slash = full.find_last_of('/');
        return slash == std::string::npos ? full : full.substr(slash + 1);
    }
#endif
    return "zephran";
}

} // namespace

IMessagePresenter* SetMessagePresenter(IMessagePresenter* presenter) {
    IMessagePresenter* previous = g_presenter;
    g_presenter = presenter;
    return previous;
}

IMessagePresenter* CurrentMessagePresenter() {
    return g_presenter;
}

std::string KindCaption(TMsgDlgType kind) {
    switch (kind) {
    case TMsgDlgType::mtError:
        return "Error";
    case TMsgDlgType::mtInformation:
        return "Information";
    case TMsgDlgType::mtConfirmation:
        return "Confirm";
    case TMsgDlgType::mtCustom:
        return ApplicationTitle();
    }
    return {};
}

std::string ButtonCaption(TMsgDlgBtn button) {
    switch (button) {
    case TMsgDlgBtn::mbYes:
        return "&Yes";
    case TMsgDlgBtn::mbNo:
        return "&No";
    case TMsgDlgBtn::mbOK:
        return "OK";
    case TMsgDlgBtn::mbCancel:
        return "Cancel";
    }
    return {};
}

std::vector<TMsgDlgBtn> ButtonOrder(TMsgDlgButtons buttons) {
    std::vector<TMsgDlgBtn> order;
    for (TMsgDlgBtn b :
         {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel})
        if (buttons.Contains(b))
            order.push_back(b);
    return order;
}

TMsgDlgBtn DefaultButtonOf(TMsgDlgButtons buttons) {
    return buttons.Contains(TMsgDlgBtn::mbOK) ? TMsgDlgBtn::mbOK : TMsgDlgBtn::mbYes;
}

TMsgDlgBtn CancelButtonOf(TMsgDlgButtons buttons) {
    if (buttons.Contains(TMsgDlgBtn::mbCancel))
        return TMsgDlgBtn::mbCancel;
    if (buttons.Contains(TMsgDlgBtn::mbNo))
        return TMsgDlgBtn::mbNo;
    return TMsgDlgBtn::mbOK;
}

TMessageRequest MakeMessageRequest(const std::string& text, TMsgDlgType kind,
                                   TMsgDlgButtons buttons) {
    // A box always has a button to press.
    if (buttons.Empty())
        buttons = {TMsgDlgBtn::mbOK};
    TMessageRequest request;
    request.Text = text;
    request.Kind = kind;
    request.Buttons = buttons;
    request.Caption = KindCaption(kind);
    request.Order = ButtonOrder(buttons);
    request.DefaultButton = DefaultButtonOf(buttons);
    request.CancelButton = CancelButtonOf(buttons);
    return request;
}

TMsgDlgBtn ShowMessageDialog(const std::string& text, TMsgDlgType kind, TMsgDlgButtons buttons) {
    const TMessageRequest request = MakeMessageRequest(text, kind, buttons);
    if (g_presenter != nullptr)
        return g_presenter->Present(request);
    static TStderrMessagePresenter fallback;
    return fallback.Present(request);
}

void ShowMessageBox(const std::string& text) {
    ShowMessageDialog(text, TMsgDlgType::mtError, {TMsgDlgBtn::mbOK});
}

void SetApplicationFileName(const std::string& fileName) {
    g_applicationFileName = fileName;
    g_applicationFileNameSet = true;
}

std::string ApplicationFileName() {
    if (!g_applicationFileNameSet) {
        g_applicationFileName = RunningExecutableName();
        g_applicationFileNameSet = true;
    }
    return g_applicationFileName;
}

std::string ApplicationTitle() {
    std::string name = ApplicationFileName();
    const auto dot = name.find('.');
    if (dot != std::string::npos)
        name.resize(dot);
    for (std::size_t i = 1; i < name.size(); ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    return name;
}

std::string DisplayedMessageText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '&' && i + 1 < text.size() && text[i + 1] == '&') {
            out.push_back('&');
            ++i;
        } else if (c == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

#include "CommandSupport.h"

#include "CliOutput.h"
#include "MessageDialogs.h"

void WriteTime(TJsonWriter& out, const std::optional<std::string>& value) {
    if (value)
        out.String(*value);
    else
        out.Null();
}

std::string TimeText(const std::optional<std::string>& value) {
    if (!value)
        return "invalid";
    std::string s = *value;
    s[10] = ' ';
    for (char& c : s)
        if (c == '-')
            c = '/';
    return s;
}

bool Confirm(const std::string& question) {
    return ShowMessageDialog(question, TMsgDlgType::mtConfirmation,
                             {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) ==
           TMsgDlgBtn::mbYes;
}

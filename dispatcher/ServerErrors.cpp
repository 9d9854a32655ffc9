#include "ServerErrors.h"

#include "DateTime.h"
#include "MessageDialogs.h"
#include "Protocol.h"
#include "Runtime.h"
#include "ServerErrorTexts.h"
#include "StatePaths.h"
#include "Win1256.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>

bool UseFarsiMessages = true;

namespace {

std::unique_ptr<std::recursive_mutex> g_logLock;
std::string g_logFileName;

} // namespace

namespace {

constexpr char kEnglishHeading[] = "Server Error Number ";

} // namespace

std::string ServerErrorText(std::uint16_t number) {
    return ServerErrorText(number, UseFarsiMessages);
}

std::string ServerErrorText(std::uint16_t number, bool farsi) {
    if (number == ReplyValue::kSilentError)
        return {};
    std::string text;
    if (farsi)
        text = "خطاي شماره" + std::to_string(number) + " هنگام اجراي درخواست در \"سرور\"";
    else
        text = kEnglishHeading + std::to_string(number);
    if (number >= 1 && number <= kServerErrorCount) {
        const TServerErrorText& entry = ServerErrorMessages[number - 1];
        text += "\r\n";
        text += farsi ? entry.Farsi : entry.English;
    }
    return Utf8Left(text, 255);
}

std::optional<std::uint16_t> ServerErrorNumberOf(const std::string& englishText) {
    const std::string_view heading = kEnglishHeading;
    if (englishText.compare(0, heading.size(), heading) != 0)
        return std::nullopt;
    std::size_t at = heading.size();
    unsigned number = 0;
    while (at < englishText.size() && englishText[at] >= '0' && englishText[at] <= '9' &&
           number < 65536)
        number = number * 10 + static_cast<unsigned>(englishText[at++] - '0');
    if (at == heading.size() || number > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(number);
}

std::string ClientInternalErrorText(std::uint16_t number) {
    return "Client Internal Error Number " + std::to_string(number) +
           " (Request Execution Aborted).";
}

void ShowServerError(std::uint16_t number) {
    const std::string text = ServerErrorText(number);
    if (!text.empty())
        ShowMessageBox(text);
}

void ShowClientInternalError(std::uint16_t number) {
    ShowMessageBox(ClientInternalErrorText(number));
}

void ShowOutOfMemory() {
    ShowMessageBox("Out of Memory.");
}

void InitErrorLog() {
    g_logFileName = ErrorLogFolder() + "TARVWEB.ERR";
    if (std::FILE* f = std::fopen(g_logFileName.c_str(), "rb")) {
        std::fclose(f);
    } else if (std::FILE* created = std::fopen(g_logFileName.c_str(), "ab")) {
        std::fclose(created);
    }
    if (!g_logLock)
        g_logLock = std::make_unique<std::recursive_mutex>();
}

void LogError(const std::string& message) {
    if (!g_logLock)
        return;
    std::lock_guard<std::recursive_mutex> lock(*g_logLock);
    // Appends only to a file that is there: a log deleted meanwhile is not made again.
    std::FILE* f = std::fopen(g_logFileName.c_str(), "r+b");
    if (f == nullptr)
        return;
    const std::string entry = ApplicationFileName() + " (" + FormatDisplayDateTime(NowDateTime()) +
                              "):\r\n" + message + "\r\n";
    if (std::fseek(f, 0, SEEK_END) == 0)
        std::fwrite(entry.data(), 1, entry.size(), f);
    std::fclose(f);
}

std::string ErrorLogFileName() {
    return g_logFileName;
}

void DoneErrorLog() {
    g_logLock.reset();
    g_logFileName.clear();
}

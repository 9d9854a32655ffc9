#include "BrokerLog.h"

#include <cstdio>

namespace {
std::function<void(const std::string&)>& Hook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}
} // namespace

void SetBrokerLogHook(std::function<void(const std::string&)> hook) {
    Hook() = std::move(hook);
}

void BrokerLog(const std::string& line) {
    if (Hook()) {
        Hook()(line);
        return;
    }
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

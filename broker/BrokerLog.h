#pragma once

// Where the broker layer writes its log lines (a configuration value it had to ignore, for
// instance). The console points this at its error log; without a hook the lines go to
// standard error.

#include <functional>
#include <string>

void SetBrokerLogHook(std::function<void(const std::string&)> hook);
void BrokerLog(const std::string& line);

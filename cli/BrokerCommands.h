#pragma once

// zephran-admin broker servers|check|sessions|logout|reload: the broker queries through the
// broker requester and the logic of the broker login dialog and sessions view.

#include "CliContext.h"

#include "HTTPSessions.h"

#include <nlohmann/json.hpp>

namespace CLI {
class App;
}

void AddBrokerCommands(CLI::App& app, TCliContext& ctx);

// The JSON form of one session row, as `broker sessions --json` prints it.
nlohmann::json SessionRowJson(const THTTPSessionRow& row);

#pragma once

// zephran-admin broker servers|check|sessions|logout|reload: the broker queries through the
// broker requester and the logic of the broker login dialog and sessions view.

#include "CliContext.h"

namespace CLI {
class App;
}

void AddBrokerCommands(CLI::App& app, TCliContext& ctx);

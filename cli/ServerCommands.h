#pragma once

// The server commands of zephran-admin (info, locals, kill-local, webs, kill-web, databases,
// status, error-log, clear-error-log): registered on the application by this function, with
// the shared context of CliContext.h.

#include "CliContext.h"

namespace CLI {
class App;
}

void AddServerCommands(CLI::App& app, TCliContext& ctx);

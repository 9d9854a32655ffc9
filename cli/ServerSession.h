#pragma once

// One session of a server command: the target from --tcp or --spx, open, security
// information, administrator login (the database list is loaded on admission), the command's
// work, logout and close.

#include "CliContext.h"

#include <functional>

// Runs `work` inside one session and sets ctx.ExitCode: 0 when the work succeeded, 1 when the
// connection or the work failed, 2 when the target on the command line is not valid.
void RunSession(TCliContext& ctx, const std::function<bool()>& work);

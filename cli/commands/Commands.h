#pragma once

// The work of each server command, run inside one session (ServerSession.h) once the login
// has been accepted: it makes the request, writes its output and answers true on success,
// false when the request or the output failed (the reason has been shown).

#include "CliContext.h"

#include "ConsoleRequests.h"

class TJsonWriter;

bool Info(TCliContext& ctx);
bool Locals(TCliContext& ctx);
bool KillLocal(TCliContext& ctx);
bool Webs(TCliContext& ctx);
bool KillWeb(TCliContext& ctx);
bool Databases(TCliContext& ctx);
bool Status(TCliContext& ctx);
// status --watch: a sample every ctx.WatchSeconds until SIGINT or SIGTERM (StatusWatch.h).
bool StatusWatch(TCliContext& ctx);
bool ErrorLog(TCliContext& ctx);
bool ClearErrorLog(TCliContext& ctx);

// The members of the status document ("counters", "result_counts", "lines") inside an object
// that the caller has begun.
void WriteStatusMembers(TJsonWriter& out, const TServerStatusBlock& block);

// kill-local, kill-web and clear-error-log: a change on the server after the console's
// confirmation; nothing printed, the exit status tells.

#include "Commands.h"

#include "CommandSupport.h"

bool KillLocal(TCliContext& ctx) {
    return !Confirm("Are you sure about deleting connection?") ||
           DeleteLocalConn(1, EncodeWin1256(ctx.KillUserName), ctx.KillSecurityNum) ==
               TExchangeResult::Done;
}

bool KillWeb(TCliContext& ctx) {
    return !Confirm("Are you sure about deleting connection?") ||
           DeleteWebConn(1, ctx.KillUserId) == TExchangeResult::Done;
}

bool ClearErrorLog(TCliContext&) {
    return !Confirm("Are you sure to clear error log?") ||
           ClearServerErrorLog(1) == TExchangeResult::Done;
}

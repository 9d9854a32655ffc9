#pragma once

// Server exchanges off the user-interface thread. The dispatcher and the link stay blocking; a
// window hands its exchange to RunServerRequest, which runs it on a worker thread while this
// thread goes on painting and processing events. The console's input is held back meanwhile as
// under a modal box, so requests still go out one at a time in the order the user asked for
// them. A wait that lasts shows the "Please Wait" window, whose Cancel shuts the connection's
// socket down: the exchange then fails exactly as on a broken link.

#include "ConnectLogin.h"
#include "RequestDispatcher.h"

#include <cstdint>
#include <functional>

class QWidget;

// How long a wait lasts before the wait window shows.
inline constexpr int kWaitWindowDelayMs = 300;

// True while a server exchange or a broker wait runs.
bool ConsoleRequestRunning();

// Runs `exchange` on a worker thread and returns once it has ended. Message boxes that it
// raises are shown on this thread, in their order, while the worker waits for their answer.
// True when the exchange ran to its end by itself. False when the user cancelled it (it has
// failed as on a broken link, shown its failure and returned; the cancel is in the error log)
// or when it did not run because another request is still running.
bool RunServerRequest(const std::function<void()>& exchange);

// One of the console's requests run by RunServerRequest: its outcome, or failed when it did not
// run.
template <typename TRequest> TExchangeResult RunConsoleRequest(TRequest request) {
    TExchangeResult result = TExchangeResult::Failed;
    RunServerRequest([&result, &request] { result = request(); });
    return result;
}

// The busy pointer hooks for an exchange run by RunServerRequest: the pointer changes on this
// thread, and no events are processed from the worker.
TBusyHooks RequestBusyHooks();

// Whether the user closed `window` while a request ran: the close waits until the request has
// ended and is then carried out. A caller about to open another window over it skips that.
bool CloseRequestedDuringRequest(const QWidget* window);

// The broker's wait: the wait window after kWaitWindowDelayMs, its Cancel abandoning the
// exchange as the described abort does. The console installs it with the broker hooks.
void InstallBrokerWaitHooks();

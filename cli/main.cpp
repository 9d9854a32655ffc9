// zephran-admin: the console's server requests and broker queries from the command line.
// Messages that the console shows in a box go to standard error in the same words; the
// exit status is 0 on success, 1 when the operation failed and 2 for an invalid command line.

#include "BrokerCommands.h"
#include "CliContext.h"
#include "CliOutput.h"
#include "ServerCommands.h"

#include "ConfigStore.h"
#include "ExitGuard.h"
#include "MessageDialogs.h"
#include "MessagePresenters.h"
#include "QSettingsConfigStore.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>
#include <new>

namespace {

// The console's settings, read but never written: the command-line tool takes the configured
// identity permutation from them and leaves the console's saved broker URL alone.
class TReadOnlyConfigStore final : public IConfigStore {
public:
    explicit TReadOnlyConfigStore(const IConfigStore& inner) : inner_(inner) {}
    TConfigValue Read(const std::string& name) const override { return inner_.Read(name); }
    bool WriteString(const std::string&, const std::string&) override { return false; }
    bool WriteBinary(const std::string&, const std::vector<std::uint8_t>&) override {
        return false;
    }

private:
    const IConfigStore& inner_;
};

// The command's own end: what it printed is flushed and checked, and the time limit no longer
// runs.
int Finish(int status) {
    const bool written = FinishOutput();
    ExitGuard::DisarmTimeLimit();
    return written ? status : kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    // Before anything else is opened: a closed standard descriptor would be taken by the
    // server's socket or a file, and output or messages would go there.
    if (!ExitGuard::OpenStandardDescriptors())
        return kExitFailure;
    // A closed pipe is a failed write that the output reports, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    // Interrupted, the command removes its spill file, puts the terminal's echo back and ends
    // with 128 + the signal's number, sending nothing more.
    ExitGuard::EndOnSignals({SIGINT, SIGTERM, SIGHUP});

    TStderrMessagePresenter presenter;
    SetMessagePresenter(&presenter);
    TQSettingsConfigStore settings;
    TReadOnlyConfigStore store(settings);
    SetConfigStore(&store);

    TCliContext ctx;
    CLI::App app{"zephran-admin: administer a Zephran record server or HTTP broker"};
    app.name("zephran-admin");
    app.set_version_flag("--version", std::string("zephran-admin ") + ZEPHRAN_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    AddGlobalOptions(app, ctx);
    AddServerCommands(app, ctx);
    AddBrokerCommands(app, ctx);
    AddArgumentChecks(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return Finish(code == 0 ? kExitSuccess : kExitUsage);
    } catch (const std::bad_alloc&) {
        WriteMessage("Out of Memory.");
        Finish(kExitFailure);
        return kExitFailure;
    } catch (const std::exception& e) {
        WriteMessage(e.what());
        Finish(kExitFailure);
        return kExitFailure;
    }
    return Finish(ctx.ExitCode);
}

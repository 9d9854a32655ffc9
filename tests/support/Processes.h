#pragma once

// Programs that end-to-end tests start: a reference peer that runs until the test ends, and a
// command whose output and exit status the test reads.

#include <map>
#include <string>
#include <vector>

// Starts `program` with `args`; waits for its first line "listening on HOST:PORT".
class TPeerProcess {
public:
    TPeerProcess(const std::string& program, const std::vector<std::string>& args);
    ~TPeerProcess(); // SIGTERM, then waits
    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;
    int Port() const { return port_; }
    bool Running() const { return port_ > 0; }

private:
    int pid_ = -1;
    int port_ = 0;
};

struct TCommandResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

// Runs the program to its end with the environment given added to this process's, standard
// input from /dev/null. A program still running after `timeoutSeconds` is killed (exit -1).
TCommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& environment = {},
                          int timeoutSeconds = 60);

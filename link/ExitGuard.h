#pragma once

// How a program of the console ends when something outside ends it: a termination signal, or
// the time limit of a command. Either way the spill files of the replies being read are
// removed, a terminal whose echo was switched off gets its mode back, nothing more is sent
// to a peer, and the process exits at once: with 128 + the signal's number after a signal,
// with 1 and a message on standard error when the time limit passed.
//
// The work is done on a thread of its own, never in a signal handler: the handler only
// writes the signal's number into a pipe that the thread waits on. The thread takes the same
// locks as the code that makes spill files and changes the terminal's mode, so it never sees
// a file made but not yet known, nor a mode changed but not yet kept.

#include <chrono>
#include <initializer_list>
#include <string>

#if !defined(_WIN32)
#include <termios.h>
#endif

namespace ExitGuard {

// Waits and time limits longer than this many seconds (about 31 years) are taken as this one,
// so that no deadline overflows the clock.
inline constexpr double kLongestWaitSeconds = 1e9;

// Makes sure that descriptors 0, 1 and 2 are open, opening each closed one on /dev/null, so
// that no socket or file the program opens later takes the place of standard input, output
// or error. False when one is closed and /dev/null cannot be opened.
bool OpenStandardDescriptors();

// From now on each of the signals (SIGINT, SIGTERM, SIGHUP...) ends the program as said
// above, but for one that the program was started with ignored, which stays ignored. False
// when the pipe, the thread or a handler cannot be had.
bool EndOnSignals(std::initializer_list<int> signals);

// While one of these lives, the first of `signals` (among those EndOnSignals handles) that
// comes does not end the program: it is kept for the owner, who learns of it through WaitUntil
// and finishes its work in its own way. Another one that comes before the owner is done ends
// the program as said above.
class TSignalCatch {
public:
    explicit TSignalCatch(std::initializer_list<int> signals);
    ~TSignalCatch();
    TSignalCatch(const TSignalCatch&) = delete;
    TSignalCatch& operator=(const TSignalCatch&) = delete;

    // Waits until `deadline` or a caught signal, whichever comes first; the signal's number,
    // or 0 when the deadline came first. A signal that came earlier is answered at once.
    int WaitUntil(std::chrono::steady_clock::time_point deadline);
};

// A limit for the work from now on: when `seconds` pass before DisarmTimeLimit, the program
// ends as said above, with `message` (one line) on standard error and exit status 1.
bool ArmTimeLimit(double seconds, std::string message);
void DisarmTimeLimit();

// While one of these lives (the program is waiting for the user), the time limit stands still.
class TTimeLimitPause {
public:
    TTimeLimitPause();
    ~TTimeLimitPause();
    TTimeLimitPause(const TTimeLimitPause&) = delete;
    TTimeLimitPause& operator=(const TTimeLimitPause&) = delete;
};

#if !defined(_WIN32)
// Sets the terminal on `fd` to `changed`, keeping `saved` to be put back: by RestoreTerminal,
// or by the end of the program if that comes first. False when the mode cannot be set.
bool ChangeTerminal(int fd, const termios& saved, const termios& changed);
void RestoreTerminal();
#endif

} // namespace ExitGuard

#pragma once

#include "src/DisplayProtocol.h"

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

// The built program running as a child process on the X server of our DISPLAY: HOME and
// the working folder are `home`, its display changes come back through "--print-display" on
// its standard output, its standard error goes to a file of its own in `home`; `environment`
// ("NAME=value") replaces what it inherits of those names. Reading happens in the calling
// thread, while it waits.
class AppProcess {
public:
    explicit AppProcess(const std::string& home, std::vector<std::string> arguments = {},
                        const std::vector<std::string>& environment = {});
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;
    ~AppProcess(); // kills a program that still runs

    bool isRunning() const { return pid > 0; }
    // Waits until the display showed `lines` after what an earlier wait found; false when
    // `timeoutMs` passed or the program ended first.
    bool waitForDisplay(const DisplayLines& lines, unsigned timeoutMs);
    // Reads what the program printed meanwhile, for `ms`.
    void pump(unsigned ms);
    // Every display the program printed, in order, as "line1|line2".
    std::vector<std::string> displays() const;
    // Every line it printed, in order.
    const std::vector<std::string>& lines() const { return printed; }
    // Its exit status once it ended by itself within `timeoutMs`, else -1 (it keeps running).
    int waitForExit(unsigned timeoutMs);
    // Ends the program with `signal` (SIGTERM as a session ends it); its exit status, or -1
    // when it did not end within `timeoutMs` (it is then killed).
    int stop(unsigned timeoutMs, int signal = SIGTERM);
    // What the program wrote to its standard error, but the toolkit's reports of refused
    // X requests.
    std::string errors() const;
    // The value of a field of /proc/<pid>/status ("VmRSS" in kB, "Threads"), -1 if unknown.
    long statusField(const char* field) const;

private:
    void readLines(int waitMs);

    pid_t pid = -1;
    int output = -1;
    std::string errorsPath;
    std::string partial;
    std::vector<std::string> printed;
    std::vector<DisplayLines> shown;
    size_t seen = 0; // displays already matched by waitForDisplay
};

// Sanitizer reports in a program's standard error; empty when there are none.
std::string sanitizerReports(const std::string& errors);

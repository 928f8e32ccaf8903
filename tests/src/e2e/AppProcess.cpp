#include "tests/src/e2e/AppProcess.h"

#include "src/DisplayLog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
int started = 0; // programs started, for their standard error files

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

unsigned elapsedMs(Clock::time_point since) {
    return static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The exit status of `pid` once it ended within `timeoutMs`, else -1.
int waitForExit(pid_t pid, unsigned timeoutMs) {
    const auto start = Clock::now();
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (elapsedMs(start) > timeoutMs)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void killAndReap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace

AppProcess::AppProcess(const std::string& home, std::vector<std::string> arguments,
                       const std::vector<std::string>& environment)
    : errorsPath(home + "/stderr-" + std::to_string(++started) + ".txt") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, home.c_str());
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errorsPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    std::vector<std::string> argv{DOKA_PROGRAM, "--print-display"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = environment;
    env.push_back("HOME=" + home);
    // Without a runtime folder the instance lock lies in `home` too.
    const auto replaced = [&](const char* entry) {
        return std::strncmp(entry, "XDG_RUNTIME_DIR=", 16) == 0 ||
               std::any_of(env.begin(), env.end(), [&](const std::string& own) {
                   return std::strncmp(entry, own.c_str(), own.find('=') + 1) == 0;
               });
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (!replaced(*e))
            env.emplace_back(*e);
    auto args = pointersTo(argv);
    auto envp = pointersTo(env);
    if (posix_spawn(&pid, DOKA_PROGRAM, &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output = out[0];
    fcntl(output, F_SETFL, O_NONBLOCK);
}

AppProcess::~AppProcess() {
    if (pid > 0)
        killAndReap(pid);
    if (output >= 0)
        close(output);
}

void AppProcess::readLines(int waitMs) {
    pollfd fd{output, POLLIN, 0};
    if (output < 0 || poll(&fd, 1, waitMs) <= 0)
        return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(output, buffer, sizeof buffer)) > 0) {
        partial.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
            DisplayLines lines;
            printed.push_back(partial.substr(0, end));
            if (parseDisplayLog(printed.back(), lines))
                shown.push_back(lines);
            partial.erase(0, end + 1);
        }
    }
    if (n == 0) { // the program closed its output: it ended
        close(output);
        output = -1;
    }
}

bool AppProcess::waitForDisplay(const DisplayLines& lines, unsigned timeoutMs) {
    const auto start = Clock::now();
    for (;;) {
        for (size_t i = seen; i < shown.size(); ++i) {
            if (shown[i].line1 == lines.line1 && shown[i].line2 == lines.line2) {
                seen = i + 1;
                return true;
            }
        }
        seen = shown.size();
        if (output < 0 || elapsedMs(start) > timeoutMs)
            return false;
        readLines(50);
    }
}

void AppProcess::pump(unsigned ms) {
    const auto start = Clock::now();
    while (output >= 0 && elapsedMs(start) < ms)
        readLines(static_cast<int>(std::min(50u, ms - std::min(ms, elapsedMs(start)))) + 1);
}

std::vector<std::string> AppProcess::displays() const {
    std::vector<std::string> result;
    for (const auto& lines : shown)
        result.push_back(std::string(lines.line1.c_str()) + "|" + lines.line2.c_str());
    return result;
}

int AppProcess::waitForExit(unsigned timeoutMs) {
    const int status = pid > 0 ? ::waitForExit(pid, timeoutMs) : -1;
    if (status >= 0) {
        pid = -1;
        for (int i = 0; i < 5 && output >= 0; ++i) // the last lines, up to its end of output
            readLines(1000);
    }
    return status;
}

int AppProcess::stop(unsigned timeoutMs, int signal) {
    if (pid <= 0)
        return -1;
    kill(pid, signal);
    const int status = waitForExit(timeoutMs);
    if (status < 0) {
        killAndReap(pid);
        pid = -1;
    }
    return status;
}

std::string AppProcess::errors() const {
    std::ifstream in(errorsPath);
    std::string text;
    for (std::string line; std::getline(in, line);) {
        // The toolkit reports each X request that Xvfb without a window manager refuses.
        if (line.rfind("ERROR: X returned", 0) != 0)
            text += line + "\n";
    }
    return text;
}

long AppProcess::statusField(const char* field) const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

std::string sanitizerReports(const std::string& errors) {
    std::string reports;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);) {
        for (const char* mark : {"Sanitizer", "runtime error:"}) {
            if (line.find(mark) != std::string::npos) {
                reports += line + "\n";
                break;
            }
        }
    }
    return reports;
}

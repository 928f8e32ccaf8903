#include "tests/src/e2e/AppProcess.h"

#include "src/DisplayLog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Our environment with `replaced` ("NAME=value" each) put in.
std::vector<std::string> environmentWith(const std::vector<std::string>& replaced) {
    std::vector<std::string> result = replaced;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool keep = true;
        for (const auto& r : replaced)
            keep = keep && entry.compare(0, r.find('=') + 1, r, 0, r.find('=') + 1) != 0;
        if (keep)
            result.push_back(entry);
    }
    return result;
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

XServer::XServer() {
    int ready[2];
    if (pipe(ready) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{"Xvfb", "-displayfd",   "3",         "-screen",
                                  "0",    "1280x1024x24", "-nolisten", "tcp"};
    auto args = pointersTo(argv);
    if (posix_spawnp(&pid, "Xvfb", &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    // The server writes its display number once it accepts clients.
    std::string number;
    pollfd fd{ready[0], POLLIN, 0};
    const auto start = Clock::now();
    while (pid > 0 && number.find('\n') == std::string::npos && elapsedMs(start) < 60000) {
        if (poll(&fd, 1, 100) <= 0)
            continue;
        char buffer[32];
        const ssize_t n = read(ready[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        number.append(buffer, static_cast<size_t>(n));
    }
    close(ready[0]);
    if (number.find('\n') != std::string::npos)
        name = ":" + number.substr(0, number.find('\n'));
}

XServer::~XServer() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        if (waitForExit(pid, 5000) < 0)
            killAndReap(pid);
    }
}

AppProcess::AppProcess(const std::string& home, const std::string& xDisplay,
                       std::vector<std::string> arguments)
    : home(home) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    const std::string errorsPath = home + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, home.c_str());
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errorsPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    std::vector<std::string> argv{DOKA_PROGRAM, "--print-display"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = environmentWith({"HOME=" + home});
    if (!xDisplay.empty())
        env = environmentWith({"HOME=" + home, "DISPLAY=" + xDisplay});
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
        // Hung: its threads' stacks say where, when gdb is there to show them.
        const std::string stacks =
            "gdb -batch -p " + std::to_string(pid) +
            " -ex 'thread apply all bt' 2>/dev/null | grep -v '^\\[New LWP' >&2";
        if (std::system(stacks.c_str()) != 0)
            std::fprintf(stderr, "(no stacks of the hung program)\n");
        killAndReap(pid);
        pid = -1;
    }
    return status;
}

std::string AppProcess::errors() const {
    std::ifstream in(home + "/stderr.txt");
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

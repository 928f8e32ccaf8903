#include "juce/common/SystemUtils.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::mutex openCommandMutex;
Lk::OxString& openCommand() {
    static Lk::OxString command("xdg-open");
    return command;
}

Lk::OxString currentDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? Lk::OxString(buffer) : Lk::OxString("/");
}

// Starts the opener on `target` with an argument vector; -1 when it could not be started.
pid_t startOpener(const Lk::OxString& target) {
    Lk::OxString program;
    {
        std::lock_guard<std::mutex> hold(openCommandMutex);
        program = openCommand();
    }
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(target.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    return child;
}

bool exitedWithSuccess(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool fileExists(const Lk::OxString& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

namespace Lk {

OxString getHomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return OxString(home);
    const passwd* entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/')
        return OxString(entry->pw_dir);
    return currentDirectory();
}

OxString getOrvoSettingsBaseDir() {
    return getHomeDirectory() + "/.Fennic Labs";
}

OxString getSettingsFilePath(const OxString& executable) {
    const OxString beside = executable.changeFileExt(".fnst");
    if (fileExists(beside))
        return beside;
    return getOrvoSettingsBaseDir() + "/" + beside.extractFileName();
}

bool ExecuteFile(const OxString& path, const OxString&, bool) {
    OxString file = path;
    if (file.length() >= 2 && file.startsWith("\"") && file.endsWith("\""))
        file = file.substr(1, file.length() - 2);
    const pid_t child = startOpener(file);
    return child > 0 && exitedWithSuccess(child);
}

bool OpenURL(const OxString& url) {
    const pid_t child = startOpener(url);
    if (child <= 0)
        return false;
    std::thread([child] { exitedWithSuccess(child); }).detach();
    return true;
}

void setOpenCommand(const OxString& program) {
    std::lock_guard<std::mutex> hold(openCommandMutex);
    openCommand() = program;
}

OxString checkApplicationInstallation() {
    return OxString();
}

} // namespace Lk

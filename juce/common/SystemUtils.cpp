#include "juce/common/SystemUtils.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Lk::OxString currentDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? Lk::OxString(buffer) : Lk::OxString("/");
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

} // namespace Lk

#include "juce/common/SystemUtils.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// A stand-in for xdg-open that records its arguments, one per line, and exits with the
// status named in the environment.
class OpenRecorder {
public:
    OpenRecorder() {
        char pattern[] = "/tmp/doka-open-XXXXXX";
        folder = mkdtemp(pattern);
        script = folder + "/recorder";
        log = folder + "/args";
        std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '"
                              << log << "'\nexit ${DOKA_OPEN_STATUS:-0}\n";
        chmod(script.c_str(), 0755);
        Lk::setOpenCommand(script.c_str());
    }
    ~OpenRecorder() {
        Lk::setOpenCommand("xdg-open");
        std::remove(log.c_str());
        std::remove(script.c_str());
        rmdir(folder.c_str());
    }
    std::string arguments() const {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string folder, script, log;
};

TEST(ExecuteFile, passesThePathAsOneArgumentWhateverItHolds) {
    OpenRecorder open;
    const char* path = "/tmp/a b%20'x';touch pwned;\"q\".txt";
    EXPECT_TRUE(Lk::ExecuteFile(path, "", false));
    EXPECT_EQ(open.arguments(), std::string(path) + "\n");
    EXPECT_NE(access("pwned", F_OK), 0);

    // Enclosing double quotes are removed, inner ones kept.
    EXPECT_TRUE(Lk::ExecuteFile("\"/tmp/My File.app\"", "-x", true));
    EXPECT_EQ(open.arguments(), "/tmp/My File.app\n");
}

TEST(ExecuteFile, reportsTheOpenersFailure) {
    OpenRecorder open;
    setenv("DOKA_OPEN_STATUS", "4", 1);
    EXPECT_FALSE(Lk::ExecuteFile("/tmp/x", "", false));
    unsetenv("DOKA_OPEN_STATUS");
    Lk::setOpenCommand("/nonexistent/opener");
    EXPECT_FALSE(Lk::ExecuteFile("/tmp/x", "", false));
}

TEST(SystemUtils, settingsLiveBesideTheProgramOnlyWhenAFileIsThere) {
    const std::string previous = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Lk::getOrvoSettingsBaseDir(), "/home/someone/.Fennic Labs");
    EXPECT_EQ(Lk::getSettingsFilePath("/opt/doka/DOKA"), "/home/someone/.Fennic Labs/DOKA.fnst");

    char pattern[] = "/tmp/doka-beside-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    std::ofstream(folder + "/DOKA.fnst") << "[Current]\n";
    EXPECT_EQ(Lk::getSettingsFilePath((folder + "/DOKA").c_str()), (folder + "/DOKA.fnst").c_str());
    std::remove((folder + "/DOKA.fnst").c_str());
    rmdir(folder.c_str());

    // A relative HOME would make the settings land wherever the program was started.
    setenv("HOME", "relative", 1);
    EXPECT_EQ(Lk::getHomeDirectory()[0], '/');
    setenv("HOME", previous.c_str(), 1);
    EXPECT_TRUE(Lk::checkApplicationInstallation().isEmpty());
}

} // namespace

#include "juce/common/SystemUtils.h"
#include "tests/support/Recorder.h"
#include "tests/support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A stand-in for xdg-open that writes its arguments, one per line, and exits with the status
// named in the environment; open() records what one start of it was given.
class OpenRecorder : public dokatest::Recorder<std::string> {
public:
    OpenRecorder() {
        std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '"
                              << log << "'\nexit ${DOKA_OPEN_STATUS:-0}\n";
        ::chmod(script.c_str(), 0755);
        Lk::setOpenCommand(script.c_str());
    }
    ~OpenRecorder() { Lk::setOpenCommand("xdg-open"); }

    bool open(const char* path, const char* arguments = "") {
        const bool started = Lk::ExecuteFile(path, arguments, false);
        std::ostringstream text;
        text << std::ifstream(log).rdbuf();
        add(text.str());
        ::unlink(log.c_str());
        return started;
    }

private:
    dokatest::TempDir folder{"doka-open"};
    const std::string script = folder.file("recorder");
    const std::string log = folder.file("args");
};

TEST(ExecuteFile, passesThePathAsOneArgumentWhateverItHolds) {
    OpenRecorder opener;
    const std::string path = "/tmp/a b%20'x';touch pwned;\"q\".txt";
    EXPECT_TRUE(opener.open(path.c_str()));
    EXPECT_NE(::access("pwned", F_OK), 0);
    // Enclosing double quotes are removed, inner ones kept.
    EXPECT_TRUE(opener.open("\"/tmp/My File.app\"", "-x"));
    EXPECT_EQ(opener.take(), (std::vector<std::string>{path + "\n", "/tmp/My File.app\n"}));
}

TEST(ExecuteFile, reportsTheOpenersFailure) {
    OpenRecorder opener;
    setenv("DOKA_OPEN_STATUS", "4", 1);
    EXPECT_FALSE(opener.open("/tmp/x"));
    unsetenv("DOKA_OPEN_STATUS");
    Lk::setOpenCommand("/nonexistent/opener");
    EXPECT_FALSE(Lk::ExecuteFile("/tmp/x", "", false));
}

TEST(SystemUtils, settingsLiveBesideTheProgramOnlyWhenAFileIsThere) {
    const std::string previous = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Lk::getOrvoSettingsBaseDir(), "/home/someone/.Fennic Labs");
    EXPECT_EQ(Lk::getSettingsFilePath("/opt/doka/DOKA"), "/home/someone/.Fennic Labs/DOKA.fnst");

    const dokatest::TempDir beside("doka-beside");
    std::ofstream(beside.file("DOKA.fnst")) << "[Current]\n";
    EXPECT_EQ(Lk::getSettingsFilePath(beside.file("DOKA").c_str()),
              beside.file("DOKA.fnst").c_str());

    // A relative HOME would make the settings land wherever the program was started.
    setenv("HOME", "relative", 1);
    EXPECT_EQ(Lk::getHomeDirectory()[0], '/');
    setenv("HOME", previous.c_str(), 1);
    EXPECT_TRUE(Lk::checkApplicationInstallation().isEmpty());
}

} // namespace

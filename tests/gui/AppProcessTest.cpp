// The program itself, started as a process on the test's X server: one instance only, a
// quit by signal that saves like the Close button, and the thru counters on standard output.
#include "tests/src/e2e/AppProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class ProgramProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The toolkit's instance lock is one for the whole machine: one program at a time,
        // also across test processes and build trees.
        machineLock = open("/tmp/doka-app-process-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(machineLock, 0);
        ASSERT_EQ(flock(machineLock, LOCK_EX), 0);
    }
    void TearDown() override {
        if (machineLock >= 0)
            close(machineLock);
    }

    // Started, and running once it holds the toolkit's single-instance lock.
    std::unique_ptr<AppProcess> startRunning(std::vector<std::string> arguments = {}) {
        auto app = std::make_unique<AppProcess>(home.path().string(), "", std::move(arguments));
        EXPECT_TRUE(dokatest::waitUntil(instanceLockHeld, 30000));
        return app;
    }
    static bool instanceLockHeld() {
        for (const char* folder : {"/var/tmp", "/tmp"}) {
            const int fd = open((std::string(folder) + "/juceAppLock_Fennic DOKA").c_str(), O_RDWR);
            if (fd < 0)
                continue;
            struct flock query {};
            query.l_type = F_WRLCK;
            query.l_whence = SEEK_SET;
            const bool held = fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
            close(fd);
            if (held)
                return true;
        }
        return false;
    }
    std::string settings() const {
        std::ifstream in(home.file(".Fennic Labs/DOKA.fnst"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    dokatest::TempDir home{"doka-proc"};
    int machineLock = -1;
};

// One test: the toolkit's instance lock is shared by the whole machine, so two of these
// must not run at the same time.
TEST_F(ProgramProcessTest, aSecondStartEndsAtOnceAndSignalsQuitLikeClose) {
    auto first = startRunning({"/dump"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    AppProcess second(home.path().string());
    EXPECT_EQ(second.waitForExit(20000), 0);
    EXPECT_EQ(first->waitForExit(0), -1) << "the first instance must keep running";

    EXPECT_EQ(first->stop(20000, SIGTERM), 0);
    EXPECT_NE(settings().find("ReceiveChannel=-1"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(home.file("DOKA_dump.syx")));

    std::filesystem::remove(home.file(".Fennic Labs/DOKA.fnst"));
    auto again = startRunning();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(again->stop(20000, SIGINT), 0);
    EXPECT_NE(settings().find("MainLeft="), std::string::npos);
}

TEST_F(ProgramProcessTest, statsPrintsTheThruCountersPeriodicallyAndOnceAtExit) {
    auto app = startRunning({"--stats=1"});
    const auto stats = [&] {
        std::vector<std::string> found;
        for (const std::string& line : app->lines())
            if (line.rfind("STATS", 0) == 0)
                found.push_back(line);
        return found;
    };
    EXPECT_TRUE(dokatest::waitUntil(
        [&] {
            app->pump(100);
            return stats().size() >= 2;
        },
        30000));
    EXPECT_EQ(app->stop(20000), 0);

    ASSERT_GE(stats().size(), 3u);
    const std::regex format("STATS (running|exit) received=[0-9]+/[0-9]+ forwarded=[0-9]+/[0-9]+ "
                            "not-forwarded=[0-9]+/[0-9]+");
    for (size_t i = 0; i < stats().size(); ++i) {
        EXPECT_TRUE(std::regex_match(stats()[i], format)) << stats()[i];
        EXPECT_EQ(stats()[i].rfind("STATS exit ", 0) == 0, i + 1 == stats().size()) << stats()[i];
    }
}

} // namespace

// The program itself, started as a process: one instance only, and a quit by signal that
// saves like the Close button.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

class ProgramProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The toolkit's instance lock is one for the whole machine: one program at a time,
        // also across test processes and build trees.
        machineLock = open("/tmp/doka-app-process-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(machineLock, 0);
        ASSERT_EQ(flock(machineLock, LOCK_EX), 0);
        char pattern[] = "/tmp/doka-proc-XXXXXX";
        home = mkdtemp(pattern);
    }
    void TearDown() override {
        for (pid_t pid : running) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::system(("rm -rf '" + home + "'").c_str());
        if (machineLock >= 0)
            close(machineLock);
    }

    pid_t start(std::vector<std::string> arguments = {}) {
        std::vector<std::string> env{"HOME=" + home};
        for (char** e = environ; *e != nullptr; ++e)
            if (std::string(*e).rfind("HOME=", 0) != 0)
                env.emplace_back(*e);
        std::vector<char*> envp, argv{const_cast<char*>(DOKA_PROGRAM)};
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, home.c_str());
        const std::string outputFile = home + "/stdout.txt";
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, DOKA_PROGRAM, &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        running.push_back(pid);
        return pid;
    }
    // The exit status, or -1 when the process is still running after `seconds`.
    int waitForExit(pid_t pid, int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                running.erase(std::find(running.begin(), running.end(), pid));
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    // The toolkit's single-instance lock (one for the whole machine) is held once the
    // program runs.
    bool waitForInstanceLock(int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            for (const char* folder : {"/var/tmp", "/tmp"}) {
                const std::string path = std::string(folder) + "/juceAppLock_Fennic DOKA";
                const int fd = open(path.c_str(), O_RDWR);
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
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string settings() const {
        std::ifstream in(home + "/.Fennic Labs/DOKA.fnst");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The lines the program wrote to its standard output.
    std::vector<std::string> outputLines() const {
        std::ifstream in(home + "/stdout.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::string home;
    std::vector<pid_t> running;
    int machineLock = -1;
};

// One test: the toolkit's instance lock is shared by the whole machine, so two of these
// must not run at the same time.
TEST_F(ProgramProcessTest, aSecondStartEndsAtOnceAndSignalsQuitLikeClose) {
    const pid_t first = start({"/dump"});
    ASSERT_TRUE(waitForInstanceLock(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const pid_t second = start();
    EXPECT_EQ(waitForExit(second, 20), 0);
    EXPECT_EQ(waitForExit(first, 0), -1) << "the first instance must keep running";

    kill(first, SIGTERM);
    EXPECT_EQ(waitForExit(first, 20), 0);
    EXPECT_NE(settings().find("ReceiveChannel=-1"), std::string::npos);
    struct stat dump;
    EXPECT_EQ(stat((home + "/DOKA_dump.syx").c_str(), &dump), 0);

    std::remove((home + "/.Fennic Labs/DOKA.fnst").c_str());
    const pid_t again = start();
    ASSERT_TRUE(waitForInstanceLock(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(again, SIGINT);
    EXPECT_EQ(waitForExit(again, 20), 0);
    EXPECT_NE(settings().find("MainLeft="), std::string::npos);
}

TEST_F(ProgramProcessTest, statsPrintsTheThruCountersPeriodicallyAndOnceAtExit) {
    const pid_t program = start({"--stats=1"});
    ASSERT_TRUE(waitForInstanceLock(30));
    auto statsLines = [&] {
        std::vector<std::string> stats;
        for (const std::string& line : outputLines())
            if (line.rfind("STATS", 0) == 0)
                stats.push_back(line);
        return stats;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (statsLines().size() < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(program, SIGTERM);
    EXPECT_EQ(waitForExit(program, 20), 0);

    const std::vector<std::string> stats = statsLines();
    ASSERT_GE(stats.size(), 3u);
    const std::regex format("STATS (running|exit) received=[0-9]+/[0-9]+ forwarded=[0-9]+/[0-9]+ "
                            "not-forwarded=[0-9]+/[0-9]+");
    for (size_t i = 0; i < stats.size(); ++i) {
        EXPECT_TRUE(std::regex_match(stats[i], format)) << stats[i];
        EXPECT_EQ(stats[i].rfind("STATS exit ", 0) == 0, i + 1 == stats.size()) << stats[i];
    }
}

} // namespace

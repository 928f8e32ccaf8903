#include "platform/OxInstanceLock.h"
#include "platform/OxString.h"
#include "platform/OxUtils.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Lk::OxString;
namespace fs = std::filesystem;

namespace {

class FileHelpers : public ::testing::Test {
protected:
    OxString path(const std::string& name) const { return OxString(dir.file(name).c_str()); }

    dokatest::TempDir dir{"oxutils-test"};
};

// The id of a process that has ended and been reaped.
std::string endedProcessId() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return std::to_string(child);
}

} // namespace

// The link and the temporaries beside the linked file are the killed-saves test's.
TEST_F(FileHelpers, writeFileReplacingThroughALinkKeepsTheLinkedFilesMode) {
    fs::create_directory(dir.path() / "real");
    dir.write("real/settings", "old");
    ASSERT_EQ(0, ::chmod(dir.file("real/settings").c_str(), 0640));
    fs::create_symlink(dir.path() / "real/settings", dir.path() / "link");
    EXPECT_TRUE(Lk::writeFileReplacing(path("link"), "new", 3));
    EXPECT_EQ("new", dir.read("real/settings"));
    struct stat info;
    ASSERT_EQ(0, ::stat(dir.file("real/settings").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777u);
}

// A killed save leaves its temporary file behind; the next save removes it, but never the
// file of a save still running, nor names that only look alike.
TEST_F(FileHelpers, writeFileReplacingRemovesTemporariesOfEndedProcessesOnly) {
    const std::string ended = endedProcessId();
    std::vector<std::string> kept = {
        "other.tmp" + ended + "-3",
        "settings",
        "settings.tmp" + ended,
        "settings.tmp" + ended + "-",
        "settings.tmp" + ended + "-3.bak",
        "settings.tmp" + ended + "-12345678901",
        "settings.tmp" + std::to_string(::getpid()) + "-77",
        "settings.tmp1-0", // init runs as long as the system does
        "settings.tmpx" + ended + "-3",
    };
    for (const std::string& name : kept)
        dir.write(name, "x");
    dir.write("settings.tmp" + ended + "-3", "half");
    dir.write("settings.tmp" + ended + "-4", "");
    EXPECT_TRUE(Lk::writeFileReplacing(path("settings"), "new", 3));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, dir.names());
    EXPECT_EQ("new", dir.read("settings"));
}

// One holder per lock file: a second is refused and asks the first to come to the front;
// the lock goes with its holder.
TEST_F(FileHelpers, instanceLockRefusesASecondWhichAsksTheFirstToRaise) {
    const OxString folder = path("run");
    auto first = std::make_unique<Lk::OxInstanceLock>(folder, "app");
    ASSERT_TRUE(first->isHeld());
    EXPECT_FALSE(first->takeRaiseRequests());
    {
        const Lk::OxInstanceLock second(folder, "app");
        EXPECT_FALSE(second.isHeld());
        EXPECT_TRUE(second.failure().isEmpty());
        EXPECT_TRUE(second.askHolderToRaise());
    }
    pollfd asked{first->raiseRequests(), POLLIN, 0};
    EXPECT_EQ(poll(&asked, 1, 1000), 1);
    EXPECT_TRUE(first->takeRaiseRequests());
    EXPECT_FALSE(first->takeRaiseRequests());
    first.reset();
    EXPECT_TRUE(Lk::OxInstanceLock(folder, "app").isHeld());
}

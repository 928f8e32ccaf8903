#include "core/inifile/TIniFile.h"
#include "midi/MidiAliasRecord.h"
#include "src/ProgramNames.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// Saving processes are killed at random moments, many times over; the settings file must
// always be the old or the new one, whole, and the killed saves must leave no growing pile
// of temporary files beside it.

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lk::OxString;

// Saves settings 0 or 1 as the application does when it closes: reads the file and writes
// over what it read its window position, aliases, program names and receive channel, with
// its own code for aliases and program names.
bool save(const OxString& file, int which) {
    const OxString port = which == 0 ? "USB Keys MIDI 1" : "Studio Synth Port 2";
    Lk::TMidiAlias thru("Thru", "", Lk::atOut);
    thru.flags |= Lk::mafNonePersistent;
    const Lk::TMidiAlias aliases[] = {{"MIDI Input", port, Lk::atIn},
                                      {"MIDI Output", port, Lk::atOut},
                                      thru,
                                      {port, port, Lk::atIn}};
    ProgramNames names;
    for (int i = 0; i < kProgramCount; ++i)
        names[i] = OxString::format(which == 0 ? "Grand Piano %d" : " \"Pad\" %d ", i + 1);
    Lk::TIniFile ini(file);
    const bool read = ini.ReadFromFileNoException();
    ini.WriteInteger("Current", "MainLeft", which == 0 ? 120 : -40);
    ini.WriteInteger("Current", "MainTop", which == 0 ? 80 : 700);
    for (int k = 0; k < 4; ++k)
        aliases[k].saveToIniFile(ini, k);
    ProgramNameTable table;
    table.set(names);
    table.save(ini, read);
    ini.WriteInteger("Current", "ReceiveChannel", which == 0 ? 3 : -1);
    return ini.WriteToFile();
}

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// How many other files lie in the folder of `file`.
long beside(const fs::path& file) {
    return std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()) - 1;
}

class KilledSaves : public ::testing::Test {
protected:
    // The file a save of settings `which` leaves over the other settings.
    std::string savedText(int which) {
        const fs::path scratch = dir / "scratch.ini";
        EXPECT_TRUE(save(scratch.c_str(), 1 - which) && save(scratch.c_str(), which));
        const std::string text = contentOf(scratch);
        fs::remove(scratch);
        return text;
    }

    // A child that saves the two settings in turn until it is killed.
    pid_t startSaving(const OxString& file) const {
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        if (child != 0)
            return child;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(3);
        for (int i = 0;; ++i)
            if (!save(file, i % 2))
                ::_exit(2);
    }

    // Kills savers through `written` (the path the application is given): half of them after
    // up to 3 ms, the other half a few microseconds after a save has made its temporary file,
    // which is while it writes, flushes or renames.
    void killSavesAndCheck(const fs::path& written, const fs::path& stored, int rounds) {
        const std::string textA = savedText(0);
        const std::string textB = savedText(1);
        ASSERT_NE(textA, textB);
        const OxString file = written.string().c_str();
        ASSERT_TRUE(save(file, 0));
        std::mt19937 random(42);
        long caughtInTheMiddle = 0;
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            const pid_t saver = startSaving(file);
            ASSERT_GT(saver, 0);
            if (round % 2 == 0) {
                ::usleep(random() % 3000);
            } else {
                dokatest::waitUntil([&] { return beside(stored) > 0; }, 2000, [] {});
                const auto until = Clock::now() + std::chrono::microseconds(random() % 200);
                while (Clock::now() < until) {
                }
            }
            ASSERT_EQ(::kill(saver, SIGKILL), 0);
            int status = 0;
            ASSERT_EQ(::waitpid(saver, &status, 0), saver);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                << "the saver ended by itself, status " << status;
            const std::string now = contentOf(stored);
            ASSERT_TRUE(now == textA || now == textB) << now;
            // Every save first removes what killed ones left, so at most the last one's
            // temporary file is there.
            ASSERT_LE(beside(stored), 1);
            caughtInTheMiddle += beside(stored);
        }
        EXPECT_GT(caughtInTheMiddle, 0) << "no save was ever killed while it wrote";
        ASSERT_TRUE(save(file, 1));
        EXPECT_EQ(contentOf(stored), textB);
        EXPECT_EQ(beside(stored), 0);
    }

    const dokatest::TempDir folder{"killed-saves"};
    const fs::path dir = folder.path();
};

// Also through a link, which keeps pointing at the file it links to.
TEST_F(KilledSaves, leaveTheOldOrTheNewFileAndNoPileOfTemporariesAlsoThroughALink) {
    killSavesAndCheck(dir / "DOKA.fnst", dir / "DOKA.fnst", 300);

    const fs::path stored = dir / "kept" / "DOKA.fnst";
    const fs::path link = dir / "home" / "DOKA.fnst";
    fs::create_directories(stored.parent_path());
    fs::create_directories(link.parent_path());
    std::ofstream(stored) << "[Current]\n";
    fs::create_symlink(stored, link);
    killSavesAndCheck(link, stored, 100);
    EXPECT_EQ(fs::read_symlink(link), stored);
    EXPECT_EQ(beside(link), 0);
}

} // namespace

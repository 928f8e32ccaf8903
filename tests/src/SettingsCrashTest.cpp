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
#include <random>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Saving processes are killed at random moments, many times over; the settings file must
// always be the old or the new one, whole, and the killed saves must leave no growing pile
// of temporary files beside it.

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lk::OxString;

// What the application holds when it saves: its aliases and program names, and in section
// "Current" the receive channel and the window position, which differ with `which` (0 or 1).
struct Settings {
    explicit Settings(int which) : which(which) {
        const std::string port = which == 0 ? "USB Keys MIDI 1" : "Studio Synth Port 2";
        aliases.emplace_back("MIDI Input", port.c_str(), Lk::atIn);
        aliases.emplace_back("MIDI Output", port.c_str(), Lk::atOut);
        aliases.emplace_back("Thru", "", Lk::atOut);
        aliases.back().flags |= Lk::mafNonePersistent;
        aliases.emplace_back(port.c_str(), port.c_str(), Lk::atIn);
        for (int i = 0; i < kProgramCount; ++i)
            names[i] = OxString::format(which == 0 ? "Grand Piano %d" : " \"Pad\" %d ", i + 1);
    }
    int which;
    std::vector<Lk::TMidiAlias> aliases;
    ProgramNames names;
};

// Saves as the application does when it closes: reads the file and writes its own
// entries over what it read, with the same code for aliases and program names.
bool save(const OxString& file, const Settings& s) {
    Lk::TIniFile ini(file);
    const bool read = ini.ReadFromFileNoException();
    ini.WriteInteger("Current", "MainLeft", s.which == 0 ? 120 : -40);
    ini.WriteInteger("Current", "MainTop", s.which == 0 ? 80 : 700);
    for (int k = 0; k < static_cast<int>(s.aliases.size()); ++k)
        s.aliases[k].saveToIniFile(ini, k);
    ProgramNameTable table;
    table.set(s.names);
    table.save(ini, read);
    ini.WriteInteger("Current", "ReceiveChannel", s.which == 0 ? 3 : -1);
    return ini.WriteToFile();
}

std::string contentOf(const fs::path& file) {
    std::ostringstream out;
    out << std::ifstream(file, std::ios::binary).rdbuf();
    return out.str();
}

class KilledSaves : public ::testing::Test {
protected:
    // The file a save of settings `which` leaves, whichever of the two the file held
    // before: saving must not depend on it, or "old or new" could not be told.
    std::string savedText(int which) {
        const fs::path scratch = dir / "scratch" / "s.ini";
        const OxString file = scratch.string().c_str();
        EXPECT_TRUE(save(file, settings[1 - which]) && save(file, settings[which]));
        const std::string overOther = contentOf(scratch);
        EXPECT_TRUE(save(file, settings[which]));
        EXPECT_EQ(contentOf(scratch), overOther);
        fs::remove_all(scratch.parent_path());
        return overOther;
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
            if (!save(file, settings[i % 2]))
                ::_exit(2);
    }

    // What else lies in the folder of `file`.
    static std::vector<std::string> beside(const fs::path& file) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(file.parent_path()))
            if (entry.path().filename() != file.filename())
                names.push_back(entry.path().filename().string());
        return names;
    }

    // Kills savers through `written` (the path the application is given) at random
    // moments: half of them after a random delay of up to 3 ms, the other half a few
    // microseconds after a save has made its temporary file, which is while it writes,
    // flushes or renames.
    void killSavesAndCheck(const fs::path& written, const fs::path& stored, int rounds) {
        const std::string textA = savedText(0);
        const std::string textB = savedText(1);
        ASSERT_NE(textA, textB);
        const OxString file = written.string().c_str();
        ASSERT_TRUE(save(file, settings[0]));
        std::mt19937 random(42);
        int caughtInTheMiddle = 0;
        for (int round = 0; round < rounds; ++round) {
            const pid_t saver = startSaving(file);
            ASSERT_GT(saver, 0);
            if (round % 2 == 0) {
                ::usleep(random() % 3000);
            } else {
                // Spins until a save in progress has made its temporary file, or a while.
                dokatest::waitUntil([&] { return !beside(stored).empty(); }, 2000, [] {});
                const auto until = Clock::now() + std::chrono::microseconds(random() % 200);
                while (Clock::now() < until) {
                }
            }
            ASSERT_EQ(::kill(saver, SIGKILL), 0);
            int status = 0;
            ASSERT_EQ(::waitpid(saver, &status, 0), saver);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                << "round " << round << ": the saver ended by itself, status " << status;

            const std::string now = contentOf(stored);
            ASSERT_TRUE(now == textA || now == textB) << "round " << round << ":\n" << now;
            // Every save first removes what killed ones left, so at most the last one's
            // temporary file is there.
            const auto litter = beside(stored);
            ASSERT_LE(litter.size(), 1u) << "round " << round;
            caughtInTheMiddle += static_cast<int>(litter.size());
        }
        EXPECT_GT(caughtInTheMiddle, 0) << "no save was ever killed while it wrote";

        ASSERT_TRUE(save(file, settings[1]));
        EXPECT_EQ(contentOf(stored), textB);
        EXPECT_TRUE(beside(stored).empty());
    }

    const dokatest::TempDir folder{"killed-saves"};
    const fs::path dir = folder.path();
    const std::vector<Settings> settings{Settings(0), Settings(1)};
};

TEST_F(KilledSaves, leaveTheOldOrTheNewFileAndNoPileOfTemporaries) {
    const fs::path file = dir / "DOKA.fnst";
    killSavesAndCheck(file, file, 300);
}

TEST_F(KilledSaves, throughALinkReplaceTheLinkedFileAndKeepTheLink) {
    const fs::path stored = dir / "kept" / "DOKA.fnst";
    const fs::path link = dir / "home" / "DOKA.fnst";
    fs::create_directories(stored.parent_path());
    fs::create_directories(link.parent_path());
    { std::ofstream(stored) << "[Current]\n"; }
    fs::create_symlink(stored, link);
    killSavesAndCheck(link, stored, 100);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), stored);
    EXPECT_EQ(beside(link), std::vector<std::string>{});
}

} // namespace

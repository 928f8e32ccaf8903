// The program itself, started as a process on the test's X server: one instance only, a
// quit by signal that saves like the Close button, the thru counters on standard output, and
// what a user's clicks and keys do under a window manager.
#include "tests/src/e2e/AppProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

const char* const SETTINGS = ".Fennic Labs/DOKA.fnst";

// The instance lock is the user's, here in the test's home: other starts of the program, in
// other tests and build trees, do not count.
TEST(ProgramProcess, aSecondStartSaysSoAndEndsSignalsQuitLikeCloseAndStatsArePrinted) {
    const dokatest::TempDir home("doka-proc");
    // Running, and holding the instance lock, once it shows its first display.
    const auto startRunning = [&](std::vector<std::string> arguments) {
        auto app = std::make_unique<AppProcess>(home.path().string(), std::move(arguments));
        EXPECT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, 30000)) << app->errors();
        return app;
    };

    auto first = startRunning({"/dump", "--stats=1"});
    AppProcess second(home.path().string());
    EXPECT_EQ(second.waitForExit(20000), 0);
    EXPECT_EQ(second.errors(), "DOKA is already running.\n");
    EXPECT_EQ(first->waitForExit(0), -1) << "the first instance must keep running";
    const auto stats = [&] {
        std::vector<std::string> found;
        for (const std::string& line : first->lines())
            if (line.rfind("STATS", 0) == 0)
                found.push_back(line);
        return found;
    };
    EXPECT_TRUE(dokatest::waitUntil(
        [&] {
            first->pump(100);
            return stats().size() >= 2;
        },
        30000));
    EXPECT_EQ(first->stop(20000, SIGTERM), 0);
    EXPECT_NE(home.read(SETTINGS).find("ReceiveChannel=-1"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(home.file("DOKA_dump.syx")));
    ASSERT_GE(stats().size(), 3u);
    const std::regex format("STATS (running|exit) received=[0-9]+/[0-9]+ forwarded=[0-9]+/[0-9]+ "
                            "not-forwarded=[0-9]+/[0-9]+");
    for (size_t i = 0; i < stats().size(); ++i) {
        EXPECT_TRUE(std::regex_match(stats()[i], format)) << stats()[i];
        EXPECT_EQ(stats()[i].rfind("STATS exit ", 0) == 0, i + 1 == stats().size()) << stats()[i];
    }

    std::filesystem::remove(home.file(SETTINGS));
    EXPECT_EQ(startRunning({})->stop(20000, SIGINT), 0);
    EXPECT_NE(home.read(SETTINGS).find("MainLeft="), std::string::npos);
}

// Help, version and autostart answer at once without a display or a sequencer; an unknown
// option is named and the program starts; no display or no sequencer is one line each.
TEST(ProgramProcess, theCommandLineIsAnsweredBeforeAnyWindowAndWhatIsMissingIsOneLine) {
    const dokatest::TempDir home("doka-cli");
    const std::vector<std::string> headless{"DISPLAY=", "XDG_CONFIG_HOME=" + home.file("config")};
    AppProcess help(home.path().string(), {"--help"}, headless);
    AppProcess version(home.path().string(), {"--VERSION"}, headless);
    AppProcess autostart(home.path().string(), {"--autostart", "on"}, headless);
    AppProcess noDisplay(home.path().string(), {}, headless);
    EXPECT_EQ(help.waitForExit(10000), 0);
    EXPECT_EQ(help.lines().at(0).rfind("Usage: DOKA [/dump]", 0), 0u);
    EXPECT_EQ(version.waitForExit(10000), 0);
    EXPECT_EQ(version.lines(), std::vector<std::string>{"DOKA " DOKA_VERSION});
    EXPECT_EQ(autostart.waitForExit(10000), 0);
    EXPECT_TRUE(std::filesystem::exists(home.file("config/autostart/doka-display.desktop")));
    EXPECT_EQ(noDisplay.waitForExit(10000), 1);
    EXPECT_EQ(noDisplay.errors(), "DOKA: no display to open (DISPLAY is not set): start it in a "
                                  "graphical session.\n");

    AppProcess app(home.path().string(), {"--Bogus"}, {"DOKA_SEQUENCER_DEVICE=/nothing"});
    EXPECT_TRUE(dokatest::waitUntil(
        [&] { return app.errors().find("snd-seq") != std::string::npos; }, 30000));
    EXPECT_EQ(app.stop(20000), 0);
    EXPECT_EQ(app.errors(), "DOKA: unknown option \"--bogus\" (see DOKA --help)\nNo MIDI sequencer "
                            "(/nothing is missing): load the snd-seq kernel module (sudo "
                            "modprobe snd-seq).\n");
}

// A new user's first steps, with real pointer and key events under a window manager: a click
// on the display opens Program Names with the name ready to be typed over (and cut at 16
// characters), also after another program is chosen, whose name is then kept; Return applies;
// the display's tip does not show while the dialog is open.
TEST(ProgramProcess, programNamesTakeWhatIsTypedAtOnceUnderAWindowManager) {
    const dokatest::TempDir home("doka-wm");
    AppProcess app(home.path().string());
    ASSERT_TRUE(app.waitForDisplay({"VERSION", "1.1"}, 30000)) << app.errors();
    // A search fails now and then when a window goes while it looks: so many tries.
    const auto xdotool = [](const std::string& arguments, int tries = 3) {
        const std::string command = "timeout 30 xdotool " + arguments + " >/dev/null 2>&1";
        while (tries-- > 0)
            if (std::system(command.c_str()) == 0)
                return true;
        return false;
    };
    // Over the display, beside where the dialog opens, long enough for a tip to show.
    const std::string over = "search --sync --onlyvisible --name '^Fennic DOKA$' mousemove -w %1 ";
    const std::string tipShown = " 200 sleep 2 search --onlyvisible --name '^tooltip$'";
    const std::string click = over + "60 200 sleep 2 click 1";
    // Typing waits until the window manager has made the dialog the active window.
    const char* const opened = "search --sync --onlyvisible --name 'Names$' windowactivate --sync";
    EXPECT_TRUE(xdotool(over + "60" + tipShown));
    ASSERT_TRUE(xdotool(click) && xdotool(opened));
    EXPECT_FALSE(xdotool(over + "80" + tipShown, 1)) << "a tip over the dialog";
    for (const char* keys :
         {"type 'Warm Strings Pad 2'", "key shift+Tab Down", "sleep 0.5 type Bass", "key Return",
          click.c_str(), opened, "type Keys", "key Return"})
        ASSERT_TRUE(xdotool(keys)) << keys;
    EXPECT_EQ(app.stop(20000), 0);
    EXPECT_NE(home.read(SETTINGS).find("Program0=Warm Strings Pad\nProgram1=Keys\n"),
              std::string::npos)
        << home.read(SETTINGS);
}

} // namespace

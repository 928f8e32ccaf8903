#include "juce/common/JuceUtils.h"
#include "juce/common/ABaseDialog.h"
#include "juce/common/ActivityLight.h"
#include "juce/common/SystemUtils.h"
#include "tests/gui/support/GuiTestSupport.h"
#include "tests/support/Recorder.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

TEST(JuceUtils, commandLineLosesProcessSerialNumberAndDebugOption) {
    const std::pair<const char*, const char*> cases[] = {
        {"-psn_0_12345", ""},
        {"x -psn_0_1 /dump", "x /dump"},
        {"-psn_0_1 /dump", " /dump"},
        {"a -NSDocumentRevisionsDebugMode YES b", "a  b"},
        {"-nsdocumentrevisionsdebugmode yes", "-nsdocumentrevisionsdebugmode yes"}};
    for (const auto& [given, left] : cases)
        EXPECT_EQ(JuceUtils::cutProcessSerialNumberFromCommandLine(given), left) << given;
}

TEST(JuceUtils, centreNeverPutsAComponentAboveOrLeftOfTheScreen) {
    juce::Component dialog, window;
    dialog.setSize(400, 100);
    window.setBounds(0, 0, 200, 300);
    JuceUtils::center(&dialog, &window);
    EXPECT_EQ(dialog.getBounds(), juce::Rectangle<int>(0, 100, 400, 100));
    window.setBounds(500, 400, 201, 300);
    JuceUtils::center(&dialog, &window);
    EXPECT_EQ(dialog.getPosition(), juce::Point<int>(400, 500));
}

TEST(JuceUtils, windowPositionIsPulledBackOntoTheMainDisplay) {
    const auto area = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
    juce::Component window;
    window.setSize(300, 90);
    auto restore = [&](int left, int top, bool withTop = true) {
        Lk::TIniFile ini("/nonexistent/settings.fnst");
        ini.WriteInteger("Current", "MainLeft", left);
        if (withTop)
            ini.WriteInteger("Current", "MainTop", top);
        JuceUtils::loadWindowPosFromIni(&window, ini, 300, 90);
        return window.getPosition();
    };
    EXPECT_EQ(restore(area.getX() - 101, 10).x, area.getX());
    EXPECT_EQ(restore(area.getX() - 100, 10).x, area.getX() - 100);
    EXPECT_EQ(restore(area.getRight() + 5, 10).x, area.getRight() - 300);
    EXPECT_EQ(restore(40, 0, false), juce::Point<int>(40, area.getCentreY() - 45));
}

TEST(JuceUtils, utf8SurvivesTheRoundTripThroughToolkitStrings) {
    const Lk::OxString name("Caf\xC3\xA9 \xE2\x82\xAC");
    const juce::String text = Lk::JuceStringFrom(name);
    EXPECT_EQ(text.length(), 6);
    EXPECT_EQ(Lk::StringFrom(text), name);
    EXPECT_EQ(Lk::StringFrom(Lk::JuceStringFrom(Lk::StringFrom(text))), name);
    // Bytes that are not UTF-8 are kept as Latin-1 characters, not dropped.
    EXPECT_EQ(Lk::JuceStringFrom(Lk::OxString("Caf\xE9")),
              juce::String(juce::CharPointer_UTF8("Caf\xc3\xa9")));
}

// Each box runs the event loop while it is open, as a modal box does; reports keep coming
// meanwhile, from the MIDI threads and from the message thread itself. All are shown on the
// message thread.
TEST(JuceUtils, boxesAreShownOneAfterAnotherAndNotTwiceWhileOpenOrWaiting) {
    dokatest::Recorder<std::string> shown;
    int depth = 0;
    int deepest = 0;
    JuceUtils::setMessageBoxHandler(
        [&](bool isError, const juce::String&, const juce::String& text) {
            EXPECT_TRUE(isError && juce::MessageManager::getInstance()->isThisTheMessageThread());
            deepest = std::max(deepest, ++depth);
            shown.add(text.toStdString());
            if (shown.size() == 1) {
                std::thread reporter([] {
                    for (int i = 0; i < 50; ++i)
                        JuceUtils::ErrorDlg(i % 2 ? "unplugged" : "plugged");
                });
                reporter.join();
                JuceUtils::ErrorDlg("first"); // the open one
            }
            pumpFor(20);
            --depth;
        });
    JuceUtils::ErrorDlg("first");
    ASSERT_TRUE(pumpUntil([&] { return shown.size() >= 3; }));
    pumpFor(100);
    JuceUtils::setMessageBoxHandler(nullptr);
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(shown.snapshot(), (std::vector<std::string>{"first", "plugged", "unplugged"}));
}

// A transparent picture of the size given.
void writePicture(const juce::File& file, int width, int height) {
    file.getParentDirectory().createDirectory();
    juce::FileOutputStream stream(file);
    juce::PNGImageFormat().writeImageToStream(juce::Image(juce::Image::ARGB, width, height, true),
                                              stream);
}

// Embedded in the program, in "resources" up to three levels above the working folder, and
// for an installed <prefix>/bin/DOKA in <prefix>/share/doka-display/resources.
TEST(JuceUtils, pictureIsFoundEmbeddedBesideTheProgramOrInTheDataFolder) {
    EXPECT_EQ(JuceUtils::getDrawable("no-such-picture.png"), nullptr);
    juce::MemoryOutputStream png;
    juce::PNGImageFormat().writeImageToStream(juce::Image(juce::Image::ARGB, 7, 5, true), png);
    JuceUtils::registerEmbeddedResource("embedded-test.png", png.getData(), png.getDataSize());
    auto embedded = JuceUtils::getDrawable("embedded-test.png");
    ASSERT_NE(embedded, nullptr);
    EXPECT_EQ(embedded->getDrawableBounds().getWidth(), 7.0f);

    const dokatest::TempDir top("doka-res");
    const juce::File deep = juce::File(top.file("a/b/c"));
    deep.createDirectory();
    writePicture(juce::File(top.file("resources/levels-test.png")), 11, 3);
    const juce::File previous = juce::File::getCurrentWorkingDirectory();
    deep.setAsCurrentWorkingDirectory();
    auto found = JuceUtils::getDrawable("levels-test.png");
    previous.setAsCurrentWorkingDirectory();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->getDrawableBounds().getWidth(), 11.0f);

    const juce::File share = juce::File::getSpecialLocation(juce::File::currentExecutableFile)
                                 .getParentDirectory()
                                 .getSiblingFile("share");
    ASSERT_FALSE(share.exists()) << "left over from an earlier run: " << share.getFullPathName();
    writePicture(share.getChildFile("doka-display/resources/installed-test.png"), 2, 9);
    auto installed = JuceUtils::getDrawable("installed-test.png");
    share.deleteRecursively();
    ASSERT_NE(installed, nullptr);
    EXPECT_EQ(installed->getDrawableBounds().getHeight(), 9.0f);
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
}

// The opener stands in for xdg-open and writes its arguments, one a line: a path with
// quotes and shell characters reaches it as one argument and runs nothing.
TEST(SystemUtils, executeFilePassesThePathAsOneArgumentAndReportsTheOpenersFailure) {
    const dokatest::TempDir folder("doka-open");
    recordOpens(folder);
    const std::string path = "/tmp/a b%20'x';touch pwned;\"q\".txt";
    EXPECT_TRUE(Lk::ExecuteFile(path.c_str(), "", false));
    EXPECT_NE(::access("pwned", F_OK), 0);
    EXPECT_EQ(folder.read("args"), path + "\n");
    EXPECT_TRUE(Lk::ExecuteFile("\"/tmp/My File.app\"", "-x", false)); // enclosing quotes go
    EXPECT_EQ(folder.read("args"), "/tmp/My File.app\n");
    setenv("DOKA_OPEN_STATUS", "4", 1);
    EXPECT_FALSE(Lk::ExecuteFile("/tmp/x", "", false));
    unsetenv("DOKA_OPEN_STATUS");
    Lk::setOpenCommand("xdg-open");
}

// Each port state has its look. A flood of messages from another thread repaints only the
// light, within its bound (the window system may still expose the new window once), and
// after the flood nothing is repainted any more.
TEST(ActivityLight, showsThePortsStateAndAFloodRepaintsOnlyTheLightWithinItsBound) {
    using Look = ActivityLight::Look;
    using Status = Lk::MidiPortStatus;
    const Look looks[] = {Look::dark, Look::dark, Look::dark, Look::red, Look::dim}; // by status
    for (int s = 0; s <= int(Status::open); ++s)
        EXPECT_EQ(ActivityLight::lookFor({Status(s), "busy", false}), looks[s]) << s;
    EXPECT_EQ(ActivityLight::lookFor({Status::open, "", true}), Look::red) << "dropping";

    ActivityLight light("MIDI IN", "a message arrives");
    struct Face : juce::Component {
        juce::Rectangle<int> light{50, 40, 18, 18};
        int paints = 0, beyondLight = 0;
        void paint(juce::Graphics& g) override {
            ++paints;
            beyondLight += light.contains(g.getClipBounds()) ? 0 : 1;
        }
    } face;
    face.setBounds(100, 100, 200, 100);
    light.setBounds(face.light);
    face.addAndMakeVisible(light);
    face.addToDesktop(0);
    face.setVisible(true);
    ASSERT_TRUE(pumpUntil([&] { return face.paints > 0; }));
    face.paints = face.beyondLight = 0;
    std::atomic<bool> flooding{true};
    std::thread sender([&] {
        while (flooding)
            light.messagePassed();
    });
    pumpFor(1000);
    flooding = false;
    sender.join();
    EXPECT_GE(face.paints, 4);
    EXPECT_LE(face.paints - face.beyondLight, ActivityLight::MAX_REPAINTS_PER_SECOND + 1);
    EXPECT_LE(face.beyondLight, 1);
    pumpFor(4 * ActivityLight::FLASH_MS + 50); // the last flash and the dark after it
    face.paints = 0;
    pumpFor(500);
    EXPECT_EQ(face.paints, 0);
}

struct PlainDialog : ABaseDialog {
    PlainDialog() : ABaseDialog("Plain", nullptr, false) {}
    juce::Component* initContent() override { return new juce::Component(); }
    void setWindowResizable() override {}
    int getPreferredContentWidth() override { return 200; }
    int getPreferredContentHeight() override { return 80; }
};

TEST(ABaseDialog, showAndHideAskedForFromAnotherThreadHappenOnTheMessageThread) {
    PlainDialog dialog;
    dialog.showTheDialog(true);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.getContentComponent()->getWidth(), 200);
    std::thread([&] { dialog.hideWindow(); }).join();
    ASSERT_TRUE(pumpUntil([&] { return !dialog.isVisible(); }));
    std::thread([&] { dialog.showWindow(); }).join();
    ASSERT_TRUE(pumpUntil([&] { return dialog.isVisible(); }));
    dialog.closeButtonPressed();
    EXPECT_FALSE(dialog.isVisible());
}

} // namespace

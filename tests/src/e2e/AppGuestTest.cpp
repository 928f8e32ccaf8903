// The built program end to end on the real sequencer, in the test guest: it starts under
// Xvfb with a scratch home folder, a helper client plays the module and another a synth on
// the thru port, and the display comes back through "--print-display".
#include "tests/src/e2e/AppGuestSupport.h"
#include "tests/support/MidiBytes.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using dokatest::Bytes;
using dokatest::sameBytes;

Bytes displayMessage(const Bytes& codes) {
    Bytes message{0xF0, 0x77};
    message.insert(message.end(), codes.begin(), codes.end());
    message.insert(message.end(), {0x75, 0xF7});
    return message;
}

const Bytes kHello = displayMessage({8, 5, 12, 12, 15});
// A backslash, a blank and a star: "HI\ *".
const Bytes kSigns = displayMessage({8, 9, 51, 0, 49});

bool showed(AppProcess& app, const std::string& display) {
    const std::vector<std::string> all = app.displays();
    return std::find(all.begin(), all.end(), display) != all.end();
}

class AppStart : public AppGuestTest {};

TEST_F(AppStart, theHintShowsUntilTheChosenPortIsThereAndTheNextStartBlanksTheDisplay) {
    auto app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"SELECT", "DEVICE"}, WAIT_MS));
    // The module appears, but nobody chose it yet: it stays closed.
    ASSERT_TRUE(module->plug(0));
    EXPECT_FALSE(module->waitForSubscribers(true, 1, 3000));
    stopApp(app);

    // Chosen, but gone at the start: the hint, until the port appears and is opened by
    // itself, at another address.
    saveChoices(MODULE_PORT, SYNTH_PORT);
    ASSERT_TRUE(module->unplug());
    app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"SELECT", "DEVICE"}, WAIT_MS));
    ASSERT_TRUE(module->plug(2));
    EXPECT_TRUE(module->waitForSubscribers(true, 1, WAIT_MS));
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));
    ASSERT_TRUE(module->send(kSigns));
    EXPECT_TRUE(app->waitForDisplay({"HI\\ *", ""}, WAIT_MS));
    stopApp(app);

    // There at the start: a blank display and no hint.
    app = startApp();
    EXPECT_TRUE(module->waitForSubscribers(true, 1, WAIT_MS));
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));
    ASSERT_TRUE(module->send(kHello));
    EXPECT_TRUE(app->waitForDisplay({"HELLO", ""}, WAIT_MS));
    stopApp(app);
    EXPECT_FALSE(showed(*app, "SELECT|DEVICE"));
}

class AppDisplay : public AppGuestTest {};

TEST_F(AppDisplay, displayMessagesAndProgramChangesOnAndOffTheReceiveChannel) {
    saveProgramName(5, "Grand Piano Left");
    auto app = startConnected({}, 2); // channel 3
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));

    Bytes sent;
    const auto play = [&](const Bytes& bytes) {
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        return module->send(bytes);
    };
    ASSERT_TRUE(play({0xC2, 0x05}));
    EXPECT_TRUE(app->waitForDisplay({"GRAND PI", "ANO LEFT"}, WAIT_MS));
    // Another channel and other messages show nothing; the next display message does.
    ASSERT_TRUE(play({0xC0, 0x06, 0x92, 0x3C, 0x64, 0xB2, 0x07, 0x64}));
    app->pump(1000);
    ASSERT_TRUE(play(displayMessage({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})));
    EXPECT_TRUE(app->waitForDisplay({"ABCDEFGH", "IJKLMNOP"}, WAIT_MS));
    ASSERT_TRUE(play({0xC2, 0x07}));
    EXPECT_TRUE(app->waitForDisplay({"PROGRAM ", "008"}, WAIT_MS));
    ASSERT_TRUE(play(displayMessage({})));
    EXPECT_TRUE(app->waitForDisplay({" ", ""}, WAIT_MS));
    ASSERT_TRUE(play(kSigns));
    EXPECT_TRUE(app->waitForDisplay({"HI\\ *", ""}, WAIT_MS));
    // Digits, both codes of a digit, and codes outside the table.
    ASSERT_TRUE(play(displayMessage({27, 28, 46, 100, 109, 81, 82, 0, 56})));
    EXPECT_TRUE(app->waitForDisplay({"00909 e ", "|"}, WAIT_MS));

    // Everything also went on to the synth, unchanged and in order.
    EXPECT_TRUE(sameBytes(synth->receive(sent.size(), WAIT_MS), sent));
    stopApp(app);
    EXPECT_FALSE(showed(*app, "PROGRAM |007"));
}

class AppThru : public AppGuestTest {};

TEST_F(AppThru, everyByteReachesTheSynthInOrderAndTheDumpHoldsThemAll) {
    auto app = startConnected({"/dump"});
    ASSERT_FALSE(HasFailure());
    Bytes messages = {0xF8, 0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00, 0xB0, 0x07, 0x64,
                      0xC0, 0x05, 0xD0, 0x40, 0xE0, 0x00, 0x40, 0xF2, 0x10, 0x20,
                      0xF1, 0x21, 0xF6, 0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7};
    const Bytes sysex = dokatest::sysex(
        static_cast<size_t>(sizeFromEnvironment("DOKA_E2E_SYSEX_BYTES", DOKA_E2E_SYSEX_BYTES)));
    messages = dokatest::joined({messages, kHello, sysex, {0x90, 0x40, 0x7F, 0xFE}, kSigns});

    // The module sends at the wire's rate, as a real one does (256 kB take 84 s);
    // thru leaves at the same rate meanwhile, so little is left once the send returns.
    ASSERT_TRUE(module->send(messages, HelperClient::WIRE_BYTES_PER_SECOND));
    // The input drops Active Sensing, as a port's settings have it unless told otherwise.
    Bytes expected = messages;
    expected.erase(std::remove(expected.begin(), expected.end(), 0xFE), expected.end());
    EXPECT_TRUE(sameBytes(synth->receive(expected.size(), WAIT_MS), expected));
    EXPECT_TRUE(app->waitForDisplay({"HI\\ *", ""}, WAIT_MS));
    stopApp(app);
    std::ifstream dump(home.file("DOKA_dump.syx"), std::ios::binary);
    EXPECT_TRUE(sameBytes(Bytes(std::istreambuf_iterator<char>(dump), {}), expected));
}

class AppReplug : public AppGuestTest {};

TEST_F(AppReplug, aModuleRepluggedWhileItSendsIsOpenedAgainAndNothingSentToUsIsLost) {
    auto app = startConnected();
    ASSERT_FALSE(HasFailure());
    const long replugs = sizeFromEnvironment("DOKA_E2E_REPLUGS", DOKA_E2E_REPLUGS);
    ASSERT_TRUE(module->startStream(200));
    int port = 0;
    for (long i = 0; i < replugs; ++i) {
        ASSERT_TRUE(module->waitForSubscribers(true, 1, WAIT_MS)) << "after replug " << i << "\n"
                                                                  << app->errors();
        app->pump(200);
        ASSERT_TRUE(module->unplug());
        // Back at once, before the program heard of its going, or after it closed it; at
        // another address or at the same one, whose subscription the kernel ended all the same.
        app->pump(i % 2 == 0 ? 50 : 600);
        port = i % 4 == 0 || i % 4 == 3 ? 4 - port : port;
        ASSERT_TRUE(module->plug(port));
    }
    ASSERT_TRUE(module->waitForSubscribers(true, 1, WAIT_MS));
    app->pump(300);
    expectStreamPassed(*app, 10000);

    // The synth's port gone and back at once at the same address: thru goes on by itself.
    ASSERT_TRUE(synth->unplug());
    ASSERT_TRUE(synth->plug(0));
    ASSERT_TRUE(synth->waitForSubscribers(false, 1, WAIT_MS));
    ASSERT_TRUE(module->send(kHello));
    EXPECT_EQ(synth->receive(kHello.size(), WAIT_MS), kHello);
    stopApp(app);
}

} // namespace

// The built program end to end on the real sequencer, in the test guest: it starts under
// Xvfb with a scratch home folder, a helper client plays the module and another a synth on
// the thru port, and the display comes back through "--print-display".
#include "tests/src/e2e/AppGuestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using Bytes = PluggableDevice::Bytes;

Bytes displayMessage(const Bytes& codes) {
    Bytes message{0xF0, 0x77};
    message.insert(message.end(), codes.begin(), codes.end());
    message.insert(message.end(), {0x75, 0xF7});
    return message;
}

const Bytes kHello = displayMessage({8, 5, 12, 12, 15});
// A backslash, a blank and a star: "HI\ *".
const Bytes kSigns = displayMessage({8, 9, 51, 0, 49});

// The index of the first byte in which the two differ, or -1; sizes of a megabyte are not
// printed whole.
long firstDifference(const Bytes& a, const Bytes& b) {
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (a[i] != b[i])
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool showed(AppProcess& app, const std::string& display) {
    for (const auto& d : app.displays())
        if (d == display)
            return true;
    return false;
}

class AppStart : public AppGuestTest {};

TEST_F(AppStart, firstStartShowsTheHintAndTheSavedChoiceBlanksTheDisplayAtTheNextStart) {
    auto app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    ASSERT_TRUE(app->waitForDisplay({"SELECT", "DEVICE"}, WAIT_MS));
    // The module appears, but nobody chose it yet: it stays closed.
    ASSERT_TRUE(module->plug(0));
    app->pump(3000);
    EXPECT_EQ(module->outSubscribers(), 0);
    stopApp(app);

    saveChoices(MODULE_PORT, SYNTH_PORT);
    app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    EXPECT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS));
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));
    ASSERT_TRUE(module->send(kHello));
    EXPECT_TRUE(app->waitForDisplay({"HELLO", ""}, WAIT_MS));
    stopApp(app);
    EXPECT_FALSE(showed(*app, "SELECT|DEVICE"));
}

TEST_F(AppStart, theChosenPortAppearingAfterTheStartIsOpenedByItselfAndTheHintGoes) {
    saveChoices(MODULE_PORT, SYNTH_PORT);
    auto app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    ASSERT_TRUE(app->waitForDisplay({"SELECT", "DEVICE"}, WAIT_MS));
    ASSERT_TRUE(module->plug(2));
    EXPECT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS));
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));
    ASSERT_TRUE(module->send(kSigns));
    EXPECT_TRUE(app->waitForDisplay({"HI\\ *", ""}, WAIT_MS));
    stopApp(app);
}

class AppDisplay : public AppGuestTest {};

TEST_F(AppDisplay, displayMessagesAndProgramChangesOnAndOffTheReceiveChannel) {
    ASSERT_TRUE(module->plug(0));
    ASSERT_TRUE(synth->plug(0));
    saveChoices(MODULE_PORT, SYNTH_PORT, 2); // channel 3
    saveProgramName(5, "Grand Piano Left");
    auto app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    ASSERT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS));
    ASSERT_TRUE(waitForSubscribers(*synth, false, 1, WAIT_MS));
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
    EXPECT_EQ(synth->receive(sent.size(), WAIT_MS), sent);
    stopApp(app);
    EXPECT_FALSE(showed(*app, "PROGRAM |007"));
}

class AppThru : public AppGuestTest {};

TEST_F(AppThru, everyByteReachesTheSynthInOrderAndTheDumpHoldsThemAll) {
    ASSERT_TRUE(module->plug(0));
    ASSERT_TRUE(synth->plug(0));
    saveChoices(MODULE_PORT, SYNTH_PORT);
    auto app = startApp({"/dump"});
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    ASSERT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS));
    ASSERT_TRUE(waitForSubscribers(*synth, false, 1, WAIT_MS));

    Bytes messages = {0xF8, 0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00, 0xB0, 0x07, 0x64,
                      0xC0, 0x05, 0xD0, 0x40, 0xE0, 0x00, 0x40, 0xF2, 0x10, 0x20,
                      0xF1, 0x21, 0xF6, 0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7};
    messages.insert(messages.end(), kHello.begin(), kHello.end());
    const long sysexBytes = sizeFromEnvironment("DOKA_E2E_SYSEX_BYTES", DOKA_E2E_SYSEX_BYTES);
    Bytes sysex(static_cast<size_t>(sysexBytes));
    for (size_t i = 0; i < sysex.size(); ++i)
        sysex[i] = static_cast<unsigned char>((i * 7 + i / 128) & 0x7F);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    messages.insert(messages.end(), sysex.begin(), sysex.end());
    messages.insert(messages.end(), {0x90, 0x40, 0x7F, 0xFE});
    messages.insert(messages.end(), kSigns.begin(), kSigns.end());

    // The module sends at the wire's rate, as a real one does (a megabyte takes 335 s);
    // thru leaves at the same rate meanwhile, so little is left once the send returns.
    const auto sendStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(module->send(messages, PluggableDevice::WIRE_BYTES_PER_SECOND));
    const auto sendSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sendStart).count();
    // The input drops Active Sensing, as a port's settings have it unless told otherwise.
    Bytes expected = messages;
    expected.erase(std::remove(expected.begin(), expected.end(), 0xFE), expected.end());
    const Bytes received = synth->receive(expected.size(), WAIT_MS);
    std::printf("sent %zu bytes in %.1f s, thru delivered %zu\n", messages.size(), sendSeconds,
                received.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_EQ(firstDifference(received, expected), -1);
    EXPECT_TRUE(app->waitForDisplay({"HI\\ *", ""}, WAIT_MS));
    stopApp(app);
    const Bytes dump = fileBytes(home + "/DOKA_dump.syx");
    EXPECT_EQ(dump.size(), expected.size());
    EXPECT_EQ(firstDifference(dump, expected), -1);
}

class AppReplug : public AppGuestTest {};

TEST_F(AppReplug, aModuleRepluggedWhileItSendsIsOpenedAgainAndNothingSentToUsIsLost) {
    ASSERT_TRUE(module->plug(0));
    ASSERT_TRUE(synth->plug(0));
    saveChoices(MODULE_PORT, SYNTH_PORT);
    auto app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    ASSERT_TRUE(waitForSubscribers(*synth, false, 1, WAIT_MS));

    const long replugs = sizeFromEnvironment("DOKA_E2E_REPLUGS", DOKA_E2E_REPLUGS);
    ASSERT_TRUE(module->startStream(200));
    for (long i = 0; i < replugs; ++i) {
        ASSERT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS)) << "after replug " << i << "\n"
                                                                   << app->errors();
        app->pump(200);
        ASSERT_TRUE(module->unplug());
        // Back at once, before the program heard of its going, or after it closed it;
        // and each time at another address.
        app->pump(i % 2 == 0 ? 50 : 600);
        ASSERT_TRUE(module->plug(i % 2 == 0 ? 4 : 0));
    }
    ASSERT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS));
    app->pump(300);
    uint32_t sent = 0;
    PluggableDevice::Runs subscribed;
    ASSERT_TRUE(module->stopStream(sent, subscribed));

    // What reached the synth: in order, once each, and all that the module sent while our
    // input was subscribed to it.
    std::vector<uint32_t> numbers;
    ASSERT_TRUE(PluggableDevice::readStream(synth->receive(sent * 3u, 10000), numbers));
    for (size_t i = 1; i < numbers.size(); ++i)
        ASSERT_LT(numbers[i - 1], numbers[i]) << "at " << i;
    ASSERT_TRUE(numbers.empty() || numbers.back() < sent);
    size_t missing = 0;
    size_t at = 0;
    std::string where; // the first few missing numbers and their places in their runs
    for (const auto& run : subscribed) {
        for (uint32_t n = run.first; n <= run.second; ++n) {
            while (at < numbers.size() && numbers[at] < n)
                ++at;
            if (at == numbers.size() || numbers[at] != n) {
                if (++missing <= 10)
                    where += " " + std::to_string(n) + " (" + std::to_string(n - run.first) +
                             " of " + std::to_string(run.first) + ".." +
                             std::to_string(run.second) + ")";
            }
        }
    }
    EXPECT_EQ(missing, 0u) << "of " << sent << " sent, " << numbers.size()
                           << " arrived; missing:" << where << "\n"
                           << app->errors();
    std::printf("replugs %ld, sent %u, arrived %zu, runs with a subscriber %zu\n", replugs, sent,
                numbers.size(), subscribed.size());

    // The synth's port gone and back elsewhere: thru goes on by itself.
    ASSERT_TRUE(synth->unplug());
    app->pump(1000);
    ASSERT_TRUE(synth->plug(6));
    ASSERT_TRUE(waitForSubscribers(*synth, false, 1, WAIT_MS));
    ASSERT_TRUE(module->send(kHello));
    EXPECT_EQ(synth->receive(kHello.size(), WAIT_MS), kHello);
    stopApp(app);
}

} // namespace

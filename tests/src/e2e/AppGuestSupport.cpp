#include "tests/src/e2e/AppGuestSupport.h"

#include "core/inifile/TIniFile.h"
#include "midi/MidiAliasRecord.h"

#include <cstdlib>
#include <unistd.h>

void AppGuestTest::SetUp() {
    if (access("/dev/snd/seq", F_OK) != 0)
        GTEST_SKIP() << "no sequencer: CTest runs this in the test guest";
    module = std::make_unique<HelperClient>(MODULE_CLIENT);
    synth = std::make_unique<HelperClient>(SYNTH_CLIENT);
}

std::unique_ptr<AppProcess> AppGuestTest::startApp(std::vector<std::string> arguments) {
    auto app = std::make_unique<AppProcess>(home.path().string(), std::move(arguments));
    EXPECT_TRUE(app->isRunning());
    EXPECT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS)) << app->errors();
    return app;
}

std::unique_ptr<AppProcess> AppGuestTest::startConnected(std::vector<std::string> arguments,
                                                         int receiveChannel) {
    EXPECT_TRUE(module->plug(0));
    EXPECT_TRUE(synth->plug(0));
    saveChoices(MODULE_PORT, SYNTH_PORT, receiveChannel);
    auto app = startApp(std::move(arguments));
    EXPECT_TRUE(module->waitForSubscribers(true, 1, WAIT_MS)) << app->errors();
    EXPECT_TRUE(synth->waitForSubscribers(false, 1, WAIT_MS)) << app->errors();
    return app;
}

void AppGuestTest::stopApp(std::unique_ptr<AppProcess>& app) {
    EXPECT_EQ(app->stop(WAIT_MS), 0) << app->errors();
    EXPECT_EQ(sanitizerReports(app->errors()), "") << app->errors();
}

void AppGuestTest::saveChoices(const char* inputPort, const char* thruPort, int receiveChannel) {
    Lk::TIniFile ini(settingsPath.c_str());
    ini.ReadFromFileNoException();
    Lk::TMidiAlias("MIDI Input", inputPort, Lk::atIn).saveToIniFile(ini, 0);
    Lk::TMidiAlias("MIDI Thru", thruPort, Lk::atOut).saveToIniFile(ini, 1);
    ini.WriteInteger("Current", "ReceiveChannel", receiveChannel);
    ASSERT_TRUE(ini.WriteToFile());
}

void AppGuestTest::saveProgramName(int program, const char* name) {
    Lk::TIniFile ini(settingsPath.c_str());
    ini.ReadFromFileNoException();
    ini.WriteString("Program Names", Lk::OxString("Program") + Lk::OxString::fromInt(program),
                    name);
    ASSERT_TRUE(ini.WriteToFile());
}

void AppGuestTest::expectStreamPassed(AppProcess& app, unsigned timeoutMs, std::string* counts) {
    uint32_t sent = 0;
    HelperClient::Runs subscribed;
    ASSERT_TRUE(module->stopStream(sent, subscribed));
    std::vector<uint32_t> numbers;
    ASSERT_TRUE(HelperClient::readStream(synth->receive(sent * 3u, timeoutMs), numbers));
    for (size_t i = 1; i < numbers.size(); ++i)
        ASSERT_LT(numbers[i - 1], numbers[i]) << "at " << i;
    ASSERT_TRUE(numbers.empty() || numbers.back() < sent);
    size_t must = 0;
    size_t at = 0;
    std::string missing; // the first few numbers that did not arrive
    for (const auto& run : subscribed) {
        for (uint32_t n = run.first; n <= run.second; ++n, ++must) {
            while (at < numbers.size() && numbers[at] < n)
                ++at;
            if ((at == numbers.size() || numbers[at] != n) && missing.size() < 80)
                missing += " " + std::to_string(n);
        }
    }
    const std::string summary = std::to_string(sent) + " sent, " + std::to_string(must) +
                                " while subscribed, " + std::to_string(numbers.size()) + " arrived";
    EXPECT_EQ(missing, "") << summary << "; missing:" << missing << "\n" << app.errors();
    if (counts != nullptr)
        *counts = summary;
}

long sizeFromEnvironment(const char* name, long fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0)
        return fallback;
    char* end = nullptr;
    const long parsed = std::strtol(value, &end, 10);
    return *end == 0 && parsed > 0 ? parsed : fallback;
}

#include "tests/src/e2e/AppGuestSupport.h"

#include "core/inifile/TIniFile.h"
#include "midi/MidiAliasRecord.h"
#include "tests/platform/WaitUntil.h"

#include <cstdlib>
#include <unistd.h>

XServer* AppGuestTest::xServer = nullptr;

void AppGuestTest::SetUpTestSuite() {
    if (xServer == nullptr && access("/dev/snd/seq", F_OK) == 0)
        xServer = new XServer();
}

void AppGuestTest::TearDownTestSuite() {
    delete xServer;
    xServer = nullptr;
}

void AppGuestTest::SetUp() {
    if (access("/dev/snd/seq", F_OK) != 0)
        GTEST_SKIP() << "no sequencer: CTest runs this in the test guest";
    ASSERT_NE(xServer, nullptr);
    ASSERT_FALSE(xServer->display().empty()) << "Xvfb did not start";
    char pattern[] = "/tmp/doka-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home = pattern;
    settingsPath = home + "/.Fennic Labs/DOKA.fnst";
    module = std::make_unique<PluggableDevice>(MODULE_CLIENT);
    synth = std::make_unique<PluggableDevice>(SYNTH_CLIENT);
    ASSERT_TRUE(module->isStarted());
    ASSERT_TRUE(synth->isStarted());
}

void AppGuestTest::TearDown() {
    module.reset();
    synth.reset();
    if (!home.empty() && !HasFailure())
        std::system(("rm -rf '" + home + "'").c_str());
}

std::unique_ptr<AppProcess> AppGuestTest::startApp(std::vector<std::string> arguments) {
    auto app = std::make_unique<AppProcess>(home, xServer->display(), std::move(arguments));
    EXPECT_TRUE(app->isRunning());
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

bool AppGuestTest::waitForSubscribers(PluggableDevice& device, bool out, int count,
                                      unsigned timeoutMs) {
    return waitUntil(
        [&] {
            const int n = out ? device.outSubscribers() : device.inSubscribers();
            if (n != count)
                Lk::sleepMillis(20);
            return n == count;
        },
        timeoutMs);
}

long sizeFromEnvironment(const char* name, long fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0)
        return fallback;
    char* end = nullptr;
    const long parsed = std::strtol(value, &end, 10);
    return *end == 0 && parsed > 0 ? parsed : fallback;
}

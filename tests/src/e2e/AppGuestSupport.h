#pragma once

#include "tests/core/linux/support/PluggableDevice.h"
#include "tests/src/e2e/AppProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// What every test of the program on the real sequencer shares: the X server, a scratch
// home folder per test, the module and the synth played by helper clients in other
// processes, and the settings file as the user's choices leave it.
class AppGuestTest : public testing::Test {
public:
    static constexpr const char* MODULE_CLIENT = "DOKA Module";
    static constexpr const char* SYNTH_CLIENT = "Synth";
    // The names under which the program lists the module's and the synth's ports.
    static constexpr const char* MODULE_PORT = "DOKA Module : Out";
    static constexpr const char* SYNTH_PORT = "Synth : In";
    // Generous: the program runs in an emulated machine, maybe under a sanitizer.
    static constexpr unsigned START_MS = 120000;
    static constexpr unsigned WAIT_MS = 60000;

    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<AppProcess> startApp(std::vector<std::string> arguments = {});
    // Stops the program like a user; expects a clean end without sanitizer reports.
    void stopApp(std::unique_ptr<AppProcess>& app);
    // The user's choices as the port dialog and the selector save them.
    void saveChoices(const char* inputPort, const char* thruPort, int receiveChannel = -1);
    void saveProgramName(int program, const char* name);
    // Waits until the program's port is (or is no longer) subscribed to the device's port.
    bool waitForSubscribers(PluggableDevice& device, bool out, int count, unsigned timeoutMs);

    std::string home;
    std::string settingsPath;
    std::unique_ptr<PluggableDevice> module;
    std::unique_ptr<PluggableDevice> synth;

private:
    static XServer* xServer;
};

// A size from the environment, for runs under a sanitizer or by hand; `fallback` if unset.
long sizeFromEnvironment(const char* name, long fallback);

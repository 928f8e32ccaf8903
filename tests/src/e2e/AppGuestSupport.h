#pragma once

#include "tests/core/linux/support/HelperClient.h"
#include "tests/src/e2e/AppProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// What every test of the program on the real sequencer shares (CTest runs it with an X server
// of its own, tests/gui/with_xvfb.sh): a scratch home folder per test, the module and the synth
// played by helper clients in other processes, and the settings file as the user's choices leave
// it.
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

protected:
    void SetUp() override;

    // Started, with its window up: the start text shows and its quit signal handler is in place.
    std::unique_ptr<AppProcess> startApp(std::vector<std::string> arguments = {});
    // With the module and the synth plugged in and chosen: started, and both opened.
    std::unique_ptr<AppProcess> startConnected(std::vector<std::string> arguments = {},
                                               int receiveChannel = -1);
    // Stops the program like a user; expects a clean end without sanitizer reports.
    void stopApp(std::unique_ptr<AppProcess>& app);
    // The user's choices as the port dialog and the selector save them.
    void saveChoices(const char* inputPort, const char* thruPort, int receiveChannel = -1);
    void saveProgramName(int program, const char* name);
    // Stops the module's stream and expects at the synth, in order and once each, every
    // message that the module sent while the program's input was subscribed to it; how
    // many went and came goes to `counts`.
    void expectStreamPassed(AppProcess& app, unsigned timeoutMs, std::string* counts = nullptr);

    dokatest::TempDir home{"doka-e2e"};
    const std::string settingsPath = home.file(".Fennic Labs/DOKA.fnst");
    std::unique_ptr<HelperClient> module;
    std::unique_ptr<HelperClient> synth;
};

// A size from the environment, for runs under a sanitizer or by hand; `fallback` if unset.
long sizeFromEnvironment(const char* name, long fallback);

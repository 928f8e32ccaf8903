#include "src/SingleInstance.h"

#include <juce_events/juce_events.h>

#include <cstdio>
#include <cstdlib>

namespace {

Lk::OxString lockFolder(const Lk::OxString& settingsFile) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && runtime[0] == '/' ? Lk::OxString(runtime)
                                                   : settingsFile.extractFileDir();
}

} // namespace

SingleInstance::SingleInstance(const Lk::OxString& settingsFile)
    : lock(lockFolder(settingsFile), "doka-display") {
    if (lock.failure().isNotEmpty()) {
        std::fprintf(stderr,
                     "Cannot take the single-instance lock (%s); another instance may run.\n",
                     lock.failure().c_str());
    } else if (!lock.isHeld()) {
        std::fprintf(stderr, "%s\n", ALREADY_RUNNING);
        lock.askHolderToRaise();
    }
}

SingleInstance::~SingleInstance() {
    if (watching)
        juce::LinuxEventLoop::unregisterFdCallback(lock.raiseRequests());
}

void SingleInstance::onRaiseRequest(std::function<void()> raise) {
    if (lock.raiseRequests() < 0 || watching)
        return;
    watching = true;
    juce::LinuxEventLoop::registerFdCallback(lock.raiseRequests(), [this, raise](int) {
        if (lock.takeRaiseRequests())
            raise();
    });
}

#pragma once

#include "platform/OxInstanceLock.h"

#include <functional>

// One running program per user. The lock lies in $XDG_RUNTIME_DIR, else beside the settings
// file; a later start says so on stderr, asks the running one to come to the front and ends.
// A lock that cannot be made at all lets the program run, with a note on stderr.
class SingleInstance {
public:
    static constexpr const char* ALREADY_RUNNING = "DOKA is already running.";

    explicit SingleInstance(const Lk::OxString& settingsFile);
    ~SingleInstance();

    // False when another instance runs; it has been asked to come to the front.
    bool isFirst() const { return lock.isHeld() || lock.failure().isNotEmpty(); }
    // `raise` runs on the message thread whenever a later start asks.
    void onRaiseRequest(std::function<void()> raise);

private:
    Lk::OxInstanceLock lock;
    bool watching = false;
};

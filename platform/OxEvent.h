#pragma once

#include <memory>

namespace Lk {

// Wake-up for a sleeping thread. A notification is kept until a wait consumes it, so a
// Notify() that comes while nobody waits makes the next WaitMs() return at once
// (auto-reset). Callers still re-check their own state after every wait.
class OxEvent {
public:
    OxEvent();
    OxEvent(const OxEvent&) = delete;
    OxEvent& operator=(const OxEvent&) = delete;
    virtual ~OxEvent();

    // Wakes every waiting thread, or the next one to wait.
    void Notify();
    // Waits at most `ms` milliseconds (ms <= 0: without a limit) for a notification and
    // consumes it. True when notified, false on timeout.
    bool WaitMs(int ms);

private:
    struct Record;
    std::unique_ptr<Record> record;
};

} // namespace Lk

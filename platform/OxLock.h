#pragma once

#include <memory>

namespace Lk {

// Recursive lock: the owning thread may Enter again; each Enter needs one Leave.
class OxLock {
public:
    OxLock();
    OxLock(const OxLock&) = delete;
    OxLock& operator=(const OxLock&) = delete;
    virtual ~OxLock();

    void Enter();
    // A Leave by a thread that does not hold the lock is ignored.
    void Leave();

private:
    struct Record;
    std::unique_ptr<Record> record;
};

// Holds an OxLock for the lifetime of the object, also when the scope is left by an
// exception or by thread cancellation.
class OxScopedLock {
public:
    explicit OxScopedLock(OxLock& lock) : lock(lock) { lock.Enter(); }
    OxScopedLock(const OxScopedLock&) = delete;
    OxScopedLock& operator=(const OxScopedLock&) = delete;
    ~OxScopedLock() { lock.Leave(); }

private:
    OxLock& lock;
};

} // namespace Lk

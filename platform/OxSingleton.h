#pragma once

#include "platform/OrvoSystem.h"
#include "platform/OxLock.h"

#include <atomic>
#include <type_traits>

namespace Lk {

// Where a process-wide object of class T lives: made on first use, deleted by
// OrvoSystem::shutdown() (T is an AutoDelete) or by anyone, and made anew by a later use,
// but not while a shutdown runs: that one would never be deleted.
// Declared at namespace scope, it is ready before any code runs and never destroyed, so
// an object deleted late can still leave it.
template <typename T> class OxSingleton {
    static_assert(std::is_base_of<AutoDelete, T>::value,
                  "a singleton registers with the shutdown registry");

public:
    // `creationLock` is held while the object is made: objects that make one another while
    // they are made share one. Without one, the slot has its own.
    constexpr explicit OxSingleton(OxLock& (*creationLock)() = &ownCreationLock)
        : creationLock(creationLock) {}
    OxSingleton(const OxSingleton&) = delete;
    OxSingleton& operator=(const OxSingleton&) = delete;

    // The object; when there is none, `create()` makes it under the creation lock and
    // returns it (or null, and there stays none; always null while a shutdown runs).
    // Thread-safe, without a lock once the object exists.
    template <typename Create> T* get(Create create) {
        if (T* object = current.load())
            return object;
        OxScopedLock hold(creationLock());
        if (current.load() == nullptr && !OrvoSystem::isShuttingDown())
            publish(create());
        return current.load();
    }
    // Null when there is none.
    T* peek() const { return current.load(); }
    // For a constructor that calls code asking for the object before it returns; ignored
    // while another object is published.
    void publish(T* object) {
        T* none = nullptr;
        current.compare_exchange_strong(none, object);
    }
    // For the destructor: `object` is no longer the one.
    void release(T* object) {
        T* expected = object;
        if (object != nullptr && current.compare_exchange_strong(expected, nullptr))
            everReleased.store(true);
    }
    // Whether a published object was deleted before.
    bool wasReleased() const { return everReleased.load(); }
    OxLock& getCreationLock() const { return creationLock(); }

private:
    // Never destroyed, as every creation lock, so that an object made or deleted late can
    // still take it.
    static OxLock& ownCreationLock() {
        static OxLock* const lock = new OxLock();
        return *lock;
    }

    OxLock& (*const creationLock)();
    std::atomic<T*> current{nullptr};
    std::atomic<bool> everReleased{false};
};

} // namespace Lk

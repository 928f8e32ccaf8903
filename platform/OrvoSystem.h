#pragma once

#include "platform/OxList.h"

#include <memory>

namespace Lk {

// Base of the library's singletons: registers the object with OrvoSystem on construction
// so that OrvoSystem::shutdown() deletes it; an object deleted earlier leaves the registry.
class AutoDelete {
public:
    AutoDelete();
    AutoDelete(const AutoDelete&) = delete;
    AutoDelete& operator=(const AutoDelete&) = delete;
    virtual ~AutoDelete();
    // Stops the object's threads and callbacks. The shutdown calls it on every registered
    // object before it deletes the first, so that no thread reaches an object already gone.
    virtual void quiesce() {}
};

// The shutdown registry. Objects may register and unregister on any thread.
class OrvoSystem {
public:
    // Ignored while a shutdown runs; an object is registered once.
    static void AddAutoDelete(AutoDelete* obj);
    // Quiesces every registered object, then deletes them in registration order, each
    // outside the registry's lock, so that its destructor may stop threads that touch the
    // registry. Objects that were deleted meanwhile are skipped. Does nothing while another
    // shutdown runs or when nothing is registered; a later registration starts a new
    // registry.
    static void shutdown();
    // Whether a shutdown runs: objects made now would never be deleted.
    static bool isShuttingDown();

private:
    friend class AutoDelete;
    static void RemoveAutoDelete(AutoDelete* obj);
    // The object in slot `i` (null for an emptied slot), or false past the end.
    static bool registered(int i, AutoDelete*& obj);

    // Registered objects in registration order; during a shutdown a slot is null once its
    // object is gone.
    static std::unique_ptr<OxList<AutoDelete*>> autoDels;
    static int shuttingDown;
};

} // namespace Lk

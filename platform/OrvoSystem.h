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
};

// The shutdown registry. Objects may register and unregister on any thread.
class OrvoSystem {
public:
    // Ignored while a shutdown runs; an object is registered once.
    static void AddAutoDelete(AutoDelete* obj);
    // Deletes every registered object in registration order, each outside the registry's
    // lock, so that its destructor may stop threads that touch the registry. Objects that
    // were deleted meanwhile are skipped. Does nothing while another shutdown runs or
    // when nothing is registered; a later registration starts a new registry.
    static void shutdown();

private:
    friend class AutoDelete;
    static void RemoveAutoDelete(AutoDelete* obj);

    // Registered objects in registration order; during a shutdown a slot is null once its
    // object is gone.
    static std::unique_ptr<OxList<AutoDelete*>> autoDels;
    static int shuttingDown;
};

} // namespace Lk

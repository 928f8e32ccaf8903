#include "platform/OrvoSystem.h"

#include "platform/OxLock.h"

namespace Lk {

std::unique_ptr<OxList<AutoDelete*>> OrvoSystem::autoDels;
int OrvoSystem::shuttingDown = 0;

namespace {

// Guards autoDels and shuttingDown.
OxLock& registryLock() {
    static OxLock lock;
    return lock;
}

} // namespace

AutoDelete::AutoDelete() {
    OrvoSystem::AddAutoDelete(this);
}

AutoDelete::~AutoDelete() {
    OrvoSystem::RemoveAutoDelete(this);
}

void OrvoSystem::AddAutoDelete(AutoDelete* obj) {
    OxScopedLock hold(registryLock());
    if (shuttingDown || obj == nullptr)
        return;
    if (!autoDels)
        autoDels.reset(new OxList<AutoDelete*>());
    autoDels->addIfNotExists(obj);
}

void OrvoSystem::RemoveAutoDelete(AutoDelete* obj) {
    OxScopedLock hold(registryLock());
    if (!autoDels)
        return;
    const int index = autoDels->indexOf(obj);
    if (index < 0)
        return;
    // A running shutdown walks the slots by position, so there the slot only empties;
    // otherwise it goes, so that objects made and deleted again and again leave no trace.
    if (shuttingDown)
        autoDels->setItem(index, nullptr);
    else
        autoDels->remove(index);
}

bool OrvoSystem::isShuttingDown() {
    OxScopedLock hold(registryLock());
    return shuttingDown != 0;
}

bool OrvoSystem::registered(int i, AutoDelete*& obj) {
    OxScopedLock hold(registryLock());
    if (i >= autoDels->getCount())
        return false;
    obj = (*autoDels)[i];
    return true;
}

void OrvoSystem::shutdown() {
    {
        OxScopedLock hold(registryLock());
        if (!autoDels || shuttingDown)
            return;
        shuttingDown = 1;
    }
    // An object deleted during another's quiesce empties its slot.
    AutoDelete* obj = nullptr;
    for (int i = 0; registered(i, obj); ++i)
        if (obj != nullptr)
            obj->quiesce();
    for (int i = 0;; ++i) {
        {
            OxScopedLock hold(registryLock());
            if (i >= autoDels->getCount())
                break;
            obj = (*autoDels)[i];
            autoDels->setItem(i, nullptr);
        }
        delete obj;
    }
    OxScopedLock hold(registryLock());
    autoDels.reset();
    shuttingDown = 0;
}

} // namespace Lk

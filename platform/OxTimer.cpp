#include "platform/OxTimer.h"

#include "platform/OxLock.h"
#include "platform/OxSingleton.h"
#include "platform/OxTime.h"

namespace Lk {

namespace {

constexpr int kMaxSleepMs = 2000;

// Guards every manager's lists and the timers' scheduling fields. Never destroyed, so a
// timer destroyed late (also after a manager, or during static destruction) can take it.
OxLock& timerLock() {
    static OxLock* const lock = new OxLock();
    return *lock;
}

// Changed under timerLock().
OxSingleton<OxTimerManager> managerInstance{timerLock};

// 0 means "no due time".
unsigned dueTime(unsigned t) {
    return t == 0 ? 1 : t;
}

} // namespace

OxTimer::OxTimer(Listener* listener, int interval, int repeating, const OxString& name,
                 int autoDelete)
    : listener(listener), interval(interval < 1 ? 1 : interval), repeating(repeating),
      autoDelete(autoDelete), name(name) {}

OxTimer::~OxTimer() {
    stopAndWait();
}

void OxTimer::stopAndWait() {
    started.store(0);
    OxTimerManager::forget(this);
}

void OxTimer::start() {
    started.store(1);
    // Held across instance() and add(), so the manager cannot be deleted in between.
    OxScopedLock hold(timerLock());
    if (OxTimerManager* manager = OxTimerManager::instance())
        manager->add(this); // none during a shutdown
}

int OxTimer::stop() {
    return started.exchange(0);
}

unsigned OxTimer::work(unsigned now, unsigned due) {
    if (due == 0 || !oxTimeReached(now, due))
        return due;
    bool deleted = false;
    deletedFlag = &deleted;
    const unsigned generation = startGeneration.load();
    unsigned next = 0;
    for (;;) {
        if (listener != nullptr)
            listener->onTimer(this);
        if (deleted)
            return 0; // `this` is gone
        if (!repeating || !isStarted() || startGeneration.load() != generation)
            break;
        // Periods stay on their grid; each missed one gets its own call.
        due = dueTime(due + static_cast<unsigned>(interval));
        if (!oxTimeReached(now, due)) {
            next = due;
            break;
        }
    }
    deletedFlag = nullptr;
    return next;
}

OxTimerManager::OxTimerManager() : OxThread(0, "OxTimerManager") {}

OxTimerManager::~OxTimerManager() {
    {
        OxScopedLock hold(timerLock());
        closing = 1;
    }
    stopAll();
    // A listener that runs now finishes first; the thread's last pass removes its timer.
    stop();
    OxScopedLock hold(timerLock());
    for (OxTimer* t : timers)
        t->registered = 0;
    managerInstance.release(this);
}

OxTimerManager* OxTimerManager::instance() {
    return managerInstance.get([] { return new OxTimerManager(); });
}

void OxTimerManager::add(OxTimer* t) {
    OxScopedLock hold(timerLock());
    if (closing) {
        t->started.store(0);
        return;
    }
    timers.addIfNotExists(t);
    const int delay = t->initialDelay >= 0 ? t->initialDelay : t->interval;
    t->nextDue = dueTime(getMilliTime() + static_cast<unsigned>(delay));
    t->started.store(1);
    ++t->startGeneration;
    t->registered = 1;
    // The thread is terminated only by its own idle pass, after which it takes no timer
    // lock any more, or by the destructor (closing): joining it here cannot deadlock.
    if (isActive() && !isTerminated())
        Notify();
    else
        Start();
}

void OxTimerManager::stopAll() {
    {
        OxScopedLock hold(timerLock());
        for (int i = timers.getCount() - 1; i >= 0; --i)
            removeImpl(timers[i], i);
    }
    deleteRemovedTimers();
}

int OxTimerManager::getTimerCount() {
    OxScopedLock hold(timerLock());
    return timers.getCount();
}

void OxTimerManager::Execute() {
    while (!isTerminated()) {
        const int wait = work();
        if (wait > 0 && !isTerminated())
            getEvent().WaitMs(wait);
    }
}

int OxTimerManager::work() {
    const unsigned now = takeDueTimers();
    // Only this thread changes the number of slots.
    for (int slot = 0; slot < firing.getCount(); ++slot)
        fire(slot, now);
    for (;;) {
        {
            OxScopedLock hold(timerLock());
            removeStoppedTimers();
            if (removed.getCount() == 0)
                return sleepTime();
        }
        deleteRemovedTimers();
    }
}

unsigned OxTimerManager::takeDueTimers() {
    OxScopedLock hold(timerLock());
    firing.clear();
    const unsigned now = getMilliTime();
    for (OxTimer* t : timers)
        if (t->started.load() && oxTimeReached(now, t->nextDue))
            firing.add(t);
    return now;
}

void OxTimerManager::fire(int slot, unsigned now) {
    OxTimer* t = nullptr;
    unsigned due = 0;
    unsigned generation = 0;
    {
        OxScopedLock hold(timerLock());
        t = firing[slot];
        if (t == nullptr || !t->started.load())
            return;
        t->busy = 1;
        due = t->nextDue;
        generation = t->startGeneration.load();
    }
    // Without the lock: the listener may take locks that other threads hold while they
    // start or stop timers.
    const unsigned next = t->work(now, due);
    OxScopedLock hold(timerLock());
    if (firing[slot] != t)
        return; // deleted by its own listener
    firing.setItem(slot, nullptr);
    t->busy = 0;
    if (t->startGeneration.load() != generation)
        return; // started again meanwhile: add() has set its due time
    if (next != 0)
        t->nextDue = next;
    else
        t->started.store(0);
}

void OxTimerManager::removeStoppedTimers() {
    for (int i = timers.getCount() - 1; i >= 0; --i)
        if (!timers[i]->started.load())
            removeImpl(timers[i], i);
}

int OxTimerManager::sleepTime() {
    const unsigned now = getMilliTime();
    unsigned wake = now + kMaxSleepMs;
    bool armed = false;
    for (OxTimer* t : timers) {
        if (!t->started.load())
            continue;
        armed = true;
        if (!oxTimeReached(t->nextDue, wake))
            wake = t->nextDue;
    }
    if (!armed) {
        Terminate();
        return -1;
    }
    const int wait = static_cast<int32_t>(wake - now);
    return wait < 1 ? 1 : wait;
}

void OxTimerManager::removeImpl(OxTimer* t, int index) {
    t->started.store(0);
    if (t->busy)
        return; // its pass removes it once the listener has returned
    unlist(t, index);
    if (t->autoDelete)
        removed.add(t);
}

void OxTimerManager::unlist(OxTimer* t, int index) {
    if (index >= 0)
        timers.remove(index);
    for (OxTimer*& slot : firing)
        if (slot == t)
            slot = nullptr;
    t->registered = 0;
}

void OxTimerManager::deleteRemovedTimers() {
    OxList<OxTimer*> doomed;
    {
        OxScopedLock hold(timerLock());
        doomed = removed;
        removed.clear();
    }
    for (OxTimer* t : doomed)
        delete t; // outside the lock: a subclass's destructor may do anything
}

void OxTimerManager::forget(OxTimer* t) {
    OxScopedLock hold(timerLock());
    if (!t->registered)
        return;
    t->autoDelete = 0; // its owner deletes it
    OxTimerManager* manager = managerInstance.peek();
    if (t->busy && manager->isCurrentThread()) {
        if (t->deletedFlag != nullptr)
            *t->deletedFlag = true; // deleted by its own listener: work() must not touch it
    } else {
        while (t->busy) {
            timerLock().Leave();
            sleepMillis(1);
            timerLock().Enter();
        }
        if (!t->registered)
            return;
    }
    manager->unlist(t, manager->timers.indexOf(t));
}

} // namespace Lk

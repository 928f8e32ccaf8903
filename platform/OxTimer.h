#pragma once

#include "platform/OrvoSystem.h"
#include "platform/OxList.h"
#include "platform/OxString.h"
#include "platform/OxThread.h"

#include <atomic>

namespace Lk {

// A one-shot or periodic timer. Its listener is called on the library's single timer
// thread (OxTimerManager), without any of the timer code's locks held, so a listener may
// start, stop, configure and even delete timers, and take its own locks.
class OxTimer {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void onTimer(OxTimer* timer) = 0;
    };

    // Intervals below 1 ms become 1. With autoDelete the manager deletes the timer once
    // it has stopped.
    OxTimer(Listener* listener, int interval, int repeating, const OxString& name = OxString(),
            int autoDelete = 0);
    OxTimer(const OxTimer&) = delete;
    OxTimer& operator=(const OxTimer&) = delete;
    // Stops the timer; when its listener is running on another thread, waits until it has
    // returned. May also be called from the timer's own listener.
    virtual ~OxTimer();

    // Arms the timer: the first call comes after the initial delay (or the interval). On a
    // started timer it moves the next call, also while its listener runs.
    void start();
    // Disarms the timer; returns whether it was started.
    int stop();
    // Disarms the timer; when its listener is running on another thread, waits until it
    // has returned. May also be called from the timer's own listener.
    void stopAndWait();
    bool isStarted() const { return started.load() != 0; }

    // The settings below are read by the timer thread: change them before start() or from
    // the listener. Delay and interval take effect at the next start() or period.
    // -1: the first call comes after the interval.
    void setInitialDelay(int ms) { initialDelay = ms < 0 ? -1 : ms; }
    void setInterval(int ms) { interval = ms < 1 ? 1 : ms; }
    void setRepeating(int r) { repeating = r; }
    void setAutoDelete(int a) { autoDelete = a; }
    void setName(const OxString& n) { name = n; }
    void setListener(Listener* l) { listener = l; }
    int getInterval() const { return interval; }
    const OxString& getName() const { return name; }

    // Called by the manager for a timer taken out as due at `due`, without the manager's
    // lock: calls the listener, once more for each further period that is due by `now`.
    // Returns the next due time, or 0 when this run ended (one-shot done, stopped, started
    // anew, or the timer was deleted by its listener). Times compare across the wrap of
    // the clock.
    unsigned work(unsigned now, unsigned due);

private:
    friend class OxTimerManager;

    Listener* listener;
    int initialDelay = -1;
    int interval;
    int repeating;
    int autoDelete;
    OxString name;
    // Changed by start() and stop() on any thread, read by the timer thread.
    std::atomic<int> started{0};
    // Counts start()s, so that the manager sees a start while the listener ran.
    std::atomic<unsigned> startGeneration{0};
    // Guarded by the timer lock. busy: the manager is inside work().
    int registered = 0;
    int busy = 0;
    unsigned nextDue = 0; // 0: none
    // Timer thread only: set by the destructor when the listener deletes the timer.
    bool* deletedFlag = nullptr;
};

// The timer thread. It runs while any timer is armed, sleeps until the earliest due time
// (at most 2 s) and ends by itself when no timer is armed; add() starts it again.
class OxTimerManager : public OxThread, public AutoDelete {
public:
    // The process-wide manager, created on first use; thread-safe.
    static OxTimerManager* instance();
    // Stops every timer and ends the thread (waiting for a running listener); a later
    // instance() creates a new manager.
    ~OxTimerManager() override;

    // Arms `t`: next due = now + its delay; listed once. Starts the thread when it does
    // not run or is ending after an idle pass.
    void add(OxTimer* t);
    // Disarms and removes every timer; one whose listener runs goes when it returns.
    void stopAll();
    // One pass: calls the due listeners; returns the milliseconds to sleep, or -1 when no
    // timer is armed and the thread is to end.
    int work();
    int getTimerCount();

protected:
    void Execute() override;

private:
    friend class OxTimer;

    OxTimerManager();
    static void forget(OxTimer* t);
    unsigned takeDueTimers();
    void fire(int slot, unsigned now);
    void removeStoppedTimers();
    int sleepTime();
    void removeImpl(OxTimer* t, int index);
    void unlist(OxTimer* t, int index);
    void deleteRemovedTimers();

    // The members below are guarded by the process-wide timer lock, which outlives any
    // manager so that a timer's destructor can always take it.
    OxList<OxTimer*> timers;
    // The due timers of the running pass; a slot is null once its timer is deleted.
    OxList<OxTimer*> firing;
    // Auto-delete timers that were removed, deleted once the lock is released.
    OxList<OxTimer*> removed;
    // Set by the destructor: add() no longer arms timers.
    int closing = 0;
};

} // namespace Lk

#include "core/hotplugwatcher/HotplugWatcher.h"

#include "platform/ErrorHandler.h"
#include "platform/OxSingleton.h"
#include "platform/OxThread.h"

#include <chrono>

namespace Lk {

namespace {

constexpr int kThreadStackBytes = 32768;
constexpr HotplugWatcher::Type kWatchableTypes = 3;
constexpr HotplugWatcher::Type kKinds[] = {HotplugWatcher::htMidi, HotplugWatcher::htOtherDevices};

OxSingleton<HotplugWatcher> watcherInstance;
// Guarded by the watcher's creation lock.
HotplugWatcher::SourceFactory sourceFactory = nullptr;

} // namespace

// Runs the source. Stopping sets the thread's flag before waking the source, so a wake
// that comes before the source waits is still seen: the stop is prompt and the thread is
// joined, never cancelled.
class HotplugWatcher::SourceThread : public OxThread {
public:
    explicit SourceThread(HotplugWatcher& watcher)
        : OxThread(0, "HotplugWatcher"), watcher(watcher) {
        SetPriority(PRIO_LOWEST);
        setStackSize(kThreadStackBytes);
    }
    ~SourceThread() override { stop(); }

    // Starts the thread and returns once its source is open, or has failed to open.
    bool startAndWaitForSource() {
        {
            std::lock_guard<std::mutex> hold(openingLock);
            sourceSettled = false;
        }
        if (!Start())
            return false;
        std::unique_lock<std::mutex> hold(openingLock);
        // Bounded: a source that hangs in its open must not hang the caller too.
        opened.wait_for(hold, std::chrono::milliseconds(OPEN_WAIT_MS),
                        [this] { return sourceSettled; });
        return true;
    }
    void sourceOpenEnded() {
        {
            std::lock_guard<std::mutex> hold(openingLock);
            sourceSettled = true;
        }
        opened.notify_all();
    }

    void Terminate() override {
        OxThread::Terminate();
        watcher.source->wake();
    }

protected:
    void Execute() override { watcher.runSource(*this); }

private:
    HotplugWatcher& watcher;
    std::mutex openingLock;
    std::condition_variable opened;
    bool sourceSettled = false;
};

HotplugWatcher::HotplugWatcher(std::unique_ptr<HotplugSource> source)
    : source(std::move(source)), notifyTimer(this, NOTIFY_DELAY_MS, 0, "HotplugWatcher_Notify"),
      repeatTimer(this, REPEAT_DELAY_MS, 0, "HotplugWatcher_Repeat"),
      pollingTimer(this, POLLING_INTERVAL_MS, 1, "HotplugWatcher_Polling") {
    if (this->source)
        thread = std::make_unique<SourceThread>(*this);
}

HotplugWatcher::~HotplugWatcher() {
    {
        std::lock_guard<std::mutex> hold(registrationLock);
        stopThread();
    }
    watcherInstance.release(this);
}

HotplugWatcher* HotplugWatcher::instance() {
    return watcherInstance.get([] {
        if (watcherInstance.wasReleased())
            EH_output(EH_OUTPUT_ERROR, "Cannot re-instantiate HotplugWatcher!");
        return new HotplugWatcher(sourceFactory ? sourceFactory() : nullptr);
    });
}

bool HotplugWatcher::isInstanceAllocated() {
    return watcherInstance.peek() != nullptr;
}

void HotplugWatcher::setSourceFactory(SourceFactory factory) {
    OxScopedLock hold(watcherInstance.getCreationLock());
    sourceFactory = factory;
}

void HotplugWatcher::addListener(Listener* listener) {
    if (listener == nullptr)
        return;
    std::lock_guard<std::mutex> registering(registrationLock);
    listeners.add(listener);
    const Type types = listener->hotplugGetTypes();
    for (const Type kind : kKinds) {
        if ((types & kind) == 0)
            continue;
        {
            std::lock_guard<std::mutex> hold(stateLock);
            if (watchedTypes & kind)
                continue;
            watchedTypes |= kind;
        }
        if (!startWatching(kind)) {
            std::lock_guard<std::mutex> hold(stateLock);
            pollingTypes |= kind;
        }
    }
    std::lock_guard<std::mutex> hold(stateLock);
    if (pollingTypes != 0)
        pollingTimer.start();
}

void HotplugWatcher::removeListener(Listener* listener) {
    if (listener == nullptr)
        return;
    {
        std::lock_guard<std::mutex> registering(registrationLock);
        listeners.unlist(listener);
        Type stillWanted = 0;
        for (Listener* other : listeners.snapshot())
            stillWanted |= other->hotplugGetTypes();
        Type dropped = 0;
        {
            std::lock_guard<std::mutex> hold(stateLock);
            dropped = watchedTypes & ~stillWanted;
            watchedTypes &= stillWanted;
            // A polled kind stops the thread too, so that watching it again later makes a
            // fresh attempt instead of finding a thread that has given up.
            pollingTypes &= ~dropped;
        }
        for (const Type kind : kKinds)
            if (dropped & kind)
                stopWatching(kind);
        std::lock_guard<std::mutex> hold(stateLock);
        if (listeners.isEmpty() || pollingTypes == 0)
            pollingTimer.stop();
    }
    listeners.waitForCallsOf(listener);
}

void HotplugWatcher::onHotplugEvent(Type types) {
    // The kinds are added before the start, so the tick that the start causes sees them.
    notifyPending.fetch_or(types);
    notifyTimer.start();
    repeatPending.fetch_or(types);
    repeatTimer.start();
}

void HotplugWatcher::switchToPolling(Type types) {
    if (types == 0)
        return;
    std::lock_guard<std::mutex> hold(stateLock);
    // The source may fail after the last listener of the kind has gone.
    pollingTypes = (pollingTypes | types) & watchedTypes & kWatchableTypes;
    if (pollingTypes != 0)
        pollingTimer.start();
}

void HotplugWatcher::onTimer(OxTimer* timer) {
    if (timer == &notifyTimer) {
        dispatch(notifyPending.exchange(0), true);
    } else if (timer == &repeatTimer) {
        dispatch(repeatPending.exchange(0), false);
    } else if (timer == &pollingTimer) {
        Type polled = 0;
        {
            std::lock_guard<std::mutex> hold(stateLock);
            polled = pollingTypes;
        }
        dispatch(polled, false);
    }
}

bool HotplugWatcher::startWatching(Type) {
    if (!thread)
        return false;
    if (thread->isActive())
        return true;
    // The source reports changes from the moment it is open only. A listener that looks at
    // the devices once this returns misses none: what changed earlier, it sees itself.
    return thread->startAndWaitForSource();
}

bool HotplugWatcher::stopWatching(Type) {
    {
        std::lock_guard<std::mutex> hold(stateLock);
        if (watchedTypes != 0)
            return true;
    }
    stopThread();
    return true;
}

void HotplugWatcher::stopThread() {
    if (thread)
        thread->stop();
}

void HotplugWatcher::runSource(SourceThread& sourceThread) {
    const bool opened = source->open(*this);
    if (!opened) {
        EH_output(EH_OUTPUT_ERROR,
                  "HotplugWatcher: cannot register for MIDI device notifications.");
        switchToPolling(htMidi);
    }
    sourceThread.sourceOpenEnded();
    if (!opened)
        return; // nothing to wait for; stopping joins the ended thread
    while (!sourceThread.isTerminated())
        source->waitForEvents();
    source->close();
}

// Last registered first. A listener watching several pending kinds gets one call with htAll.
void HotplugWatcher::dispatch(Type pending, bool occurred) {
    listeners.forEachReversed([&](Listener* listener) {
        const Type types = listener->hotplugGetTypes();
        const auto call = [&](Type kinds) {
            if (occurred)
                listener->hotplugOccurred(kinds);
            else
                listener->hotplugPolling(kinds);
        };
        if ((pending & types & kWatchableTypes) == kWatchableTypes ||
            (pending == htAll && (types & kWatchableTypes) != 0)) {
            call(htAll);
        } else {
            for (const Type kind : kKinds)
                if (pending & types & kind)
                    call(kind);
        }
    });
}

} // namespace Lk

#pragma once

#include "core/hotplugwatcher/HotplugSource.h"
#include "platform/OrvoSystem.h"
#include "platform/OxListenerList.h"
#include "platform/OxTimer.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace Lk {

// Tells listeners that devices may have been plugged in or out. A burst of platform
// notifications becomes two calls per listener: hotplugOccurred() NOTIFY_DELAY_MS after the
// last one, and hotplugPolling() REPEAT_DELAY_MS after it for devices that finish appearing
// late. Kinds the platform cannot report are polled every POLLING_INTERVAL_MS instead.
// Notifications come from a HotplugSource run on the watcher's own thread; without a source
// every kind is polled. All listener calls come from the timer thread (OxTimerManager).
class HotplugWatcher : public AutoDelete, public OxTimer::Listener {
public:
    static constexpr int NOTIFY_DELAY_MS = 200;
    static constexpr int REPEAT_DELAY_MS = 4000;
    static constexpr int POLLING_INTERVAL_MS = 10000;
    // The longest that a registration waits for the source to open; a source slower than
    // that misses what changes before its open returns.
    static constexpr int OPEN_WAIT_MS = 5000;

    // A bit set of device kinds; only the two low bits are watched.
    using Type = int;
    static constexpr Type htMidi = 1;         // MIDI setup changes
    static constexpr Type htOtherDevices = 2; // reported by no source of this system
    static constexpr Type htAll = -1;

    class Listener {
    public:
        virtual ~Listener() = default;
        // Devices of these kinds changed a moment ago.
        virtual void hotplugOccurred(Type types) = 0;
        // Check again for these kinds: the late repeat, or polling.
        virtual void hotplugPolling(Type types) = 0;
        // The kinds of interest; asked on every registration change and before every call.
        virtual Type hotplugGetTypes() = 0;
    };

    using SourceFactory = std::unique_ptr<HotplugSource> (*)();

    // Without a source, every watched kind is polled.
    explicit HotplugWatcher(std::unique_ptr<HotplugSource> source = nullptr);
    HotplugWatcher(const HotplugWatcher&) = delete;
    HotplugWatcher& operator=(const HotplugWatcher&) = delete;
    // Stops and joins the thread; waits for a listener call in progress. Must not be called
    // from a listener call.
    ~HotplugWatcher() override;

    // The process-wide watcher, created on first use with a source from the factory given to
    // setSourceFactory(); deleted by OrvoSystem::shutdown(). Thread-safe.
    static HotplugWatcher* instance();
    static bool isInstanceAllocated();
    // The platform's MIDI backend installs its notifications here before the first instance().
    static void setSourceFactory(SourceFactory factory);

    // Registers once; starts watching the listener's kinds that nobody watched yet. Every
    // change after the return is reported, or found by polling where notifications failed.
    void addListener(Listener* listener);
    // Unregisters and stops watching kinds nobody wants any more. When it returns, no call
    // of `listener` runs or will start, except one on the calling thread: the caller must
    // not hold a lock that the listener's calls take. Listeners may add and remove
    // themselves and others from inside their calls.
    void removeListener(Listener* listener);

    // Called by the source for each notification, on the watcher's thread.
    void onHotplugEvent(Type types);
    // Polls the given kinds, as far as they are watched, instead of waiting for notifications.
    void switchToPolling(Type types);

    void onTimer(OxTimer* timer) override;

protected:
    // True when the kind is reported by notifications from now on (the source is open, or
    // failed and polling has begun), false when it must be polled. One thread serves every
    // kind.
    virtual bool startWatching(Type type);
    // Stops the thread once no kind is watched any more.
    virtual bool stopWatching(Type type);

private:
    class SourceThread;

    void stopThread();
    // The body of the watcher's thread.
    void runSource(SourceThread& thread);
    void dispatch(Type pending, bool occurred);

    const std::unique_ptr<HotplugSource> source;
    // Serialises addListener, removeListener and the destructor, with the thread's start and
    // stop; never taken by the watcher's thread or by a dispatch.
    std::mutex registrationLock;
    OxListenerList<Listener> listeners;
    // Guards the two members below; held only briefly, never while calling out.
    std::mutex stateLock;
    int watchedTypes = 0; // union of the listeners' kinds
    int pollingTypes = 0; // watched kinds that are polled
    // Set by the watcher's thread, taken by the timer thread.
    std::atomic<int> notifyPending{0};
    std::atomic<int> repeatPending{0};
    std::unique_ptr<SourceThread> thread; // null without a source
    // Declared last so that they go first: their destructors wait for a running onTimer,
    // which still needs the members above.
    OxTimer notifyTimer;
    OxTimer repeatTimer;
    OxTimer pollingTimer;
};

} // namespace Lk

#pragma once

namespace Lk {

class HotplugWatcher;

// The platform's part of the hotplug watcher: it receives the system's device-setup
// notifications. The watcher's own thread calls open(), then waitForEvents() until the
// watcher is asked to stop, then close(); wake() may come from any thread at any time.
class HotplugSource {
public:
    virtual ~HotplugSource() = default;

    // Sets up the notifications for `watcher`. False when the platform cannot deliver them;
    // the source has then released whatever it had set up, and the watcher polls instead.
    // The watcher's registration waits for this to return: changes made after it must be
    // reported.
    virtual bool open(HotplugWatcher& watcher) = 0;
    // Waits for notifications and reports each with watcher.onHotplugEvent() on this thread.
    // Returns after wake(), or at once when wake() was called since the last return (the
    // wake is kept until a wait consumes it); may also return after delivering.
    virtual void waitForEvents() = 0;
    // Releases what open() set up.
    virtual void close() = 0;
    // Ends the running waitForEvents(), or the next one. Any thread; also before open() and
    // after close(), so the means of waking belongs to the source's lifetime.
    virtual void wake() = 0;
};

} // namespace Lk

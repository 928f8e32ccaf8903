#pragma once

#include "platform/OxList.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Lk {

// Listeners that may register and unregister on any thread, also from inside their own
// calls: a call walks a copy taken when it starts and skips listeners removed meanwhile.
// remove() returns only when no other thread is inside a call of that listener, so the
// listener may be destroyed right after it.
template <typename Listener> class OxListenerList {
public:
    void add(Listener* l) {
        std::lock_guard<std::mutex> hold(mutex);
        if (l != nullptr)
            listeners.addIfNotExists(l);
    }
    // Must not be called while holding a lock that the listener's calls take.
    void remove(Listener* l) {
        unlist(l);
        waitForCallsOf(l);
    }
    // The halves of remove(), for owners that have more to do in between: unlist() starts
    // no further call, waitForCallsOf() returns once no other thread is inside one.
    void unlist(Listener* l) {
        std::lock_guard<std::mutex> hold(mutex);
        listeners.remove(listeners.indexOf(l));
    }
    void waitForCallsOf(Listener* l) const {
        std::unique_lock<std::mutex> hold(mutex);
        const std::thread::id self = std::this_thread::get_id();
        callEnded.wait(hold, [&] {
            for (const ActiveCall& call : active)
                if (call.listener == l && call.thread != self)
                    return false;
            return true;
        });
    }
    bool contains(Listener* l) const {
        std::lock_guard<std::mutex> hold(mutex);
        return listeners.contains(l);
    }
    bool isEmpty() const {
        std::lock_guard<std::mutex> hold(mutex);
        return listeners.getCount() == 0;
    }
    // The listeners now, first registered first.
    OxList<Listener*> snapshot() const {
        std::lock_guard<std::mutex> hold(mutex);
        return listeners;
    }
    // Calls f(listener) for every listener, first registered first.
    template <typename F> void forEach(F f) const { walk(f, false); }
    // Calls f(listener) for every listener, last registered first.
    template <typename F> void forEachReversed(F f) const { walk(f, true); }

private:
    struct ActiveCall {
        Listener* listener;
        std::thread::id thread;
    };

    struct CallScope {
        const OxListenerList& list;
        Listener* listener;
        ~CallScope() { list.endCall(listener); }
    };

    template <typename F> void walk(F& f, bool reversed) const {
        const OxList<Listener*> copy = snapshot();
        const int n = copy.getCount();
        for (int k = 0; k < n; ++k) {
            Listener* l = copy[reversed ? n - 1 - k : k];
            if (!beginCall(l))
                continue;
            const CallScope scope{*this, l};
            f(l);
        }
    }

    bool beginCall(Listener* l) const {
        std::lock_guard<std::mutex> hold(mutex);
        if (!listeners.contains(l))
            return false;
        active.push_back({l, std::this_thread::get_id()});
        return true;
    }

    void endCall(Listener* l) const {
        {
            std::lock_guard<std::mutex> hold(mutex);
            const std::thread::id self = std::this_thread::get_id();
            for (auto it = active.begin(); it != active.end(); ++it) {
                if (it->listener == l && it->thread == self) {
                    active.erase(it);
                    break;
                }
            }
        }
        callEnded.notify_all();
    }

    mutable std::mutex mutex;
    mutable std::condition_variable callEnded;
    OxList<Listener*> listeners;
    // Calls in progress, innermost last; guarded by mutex.
    mutable std::vector<ActiveCall> active;
};

} // namespace Lk

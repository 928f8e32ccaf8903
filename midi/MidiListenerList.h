#pragma once

#include "platform/OxList.h"

#include <mutex>

namespace Lk {

// Listeners that may register and unregister on any thread, also from inside their own
// calls: a call walks a copy taken when it starts and skips listeners removed meanwhile.
template <typename Listener> class MidiListenerList {
public:
    void add(Listener* l) {
        std::lock_guard<std::mutex> hold(mutex);
        if (l != nullptr)
            listeners.addIfNotExists(l);
    }
    void remove(Listener* l) {
        std::lock_guard<std::mutex> hold(mutex);
        listeners.remove(listeners.indexOf(l));
    }
    bool contains(Listener* l) const {
        std::lock_guard<std::mutex> hold(mutex);
        return listeners.contains(l);
    }
    // Calls f(listener) for every listener, first registered first.
    template <typename F> void forEach(F f) const { walk(f, false); }
    // Calls f(listener) for every listener, last registered first.
    template <typename F> void forEachReversed(F f) const { walk(f, true); }

private:
    template <typename F> void walk(F& f, bool reversed) const {
        OxList<Listener*> copy;
        {
            std::lock_guard<std::mutex> hold(mutex);
            copy = listeners;
        }
        const int n = copy.getCount();
        for (int k = 0; k < n; ++k) {
            Listener* l = copy[reversed ? n - 1 - k : k];
            if (contains(l))
                f(l);
        }
    }

    mutable std::mutex mutex;
    OxList<Listener*> listeners;
};

} // namespace Lk

#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace dokatest {

// What a listener was told, in order, from any thread; read and waited for on another.
// Listeners of every layer derive from it and add() in their callbacks.
template <typename T> class Recorder {
public:
    // Notifies under the lock: a waiter that then returns may destroy the recorder at once.
    void add(T item) {
        std::lock_guard<std::mutex> hold(mutex);
        items.push_back(std::move(item));
        changed.notify_all();
    }

    std::vector<T> snapshot() const {
        std::lock_guard<std::mutex> hold(mutex);
        return items;
    }
    size_t size() const {
        std::lock_guard<std::mutex> hold(mutex);
        return items.size();
    }
    // What was recorded so far; it is forgotten here.
    std::vector<T> take() {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<T> taken;
        taken.swap(items);
        return taken;
    }
    void clear() { take(); }

    // Waits until `holds` is true of what was recorded; false after `timeoutMs`.
    bool waitFor(const std::function<bool(const std::vector<T>&)>& holds,
                 unsigned timeoutMs = 10000) const {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [&] { return holds(items); });
    }
    bool waitForCount(size_t count, unsigned timeoutMs = 10000) const {
        return waitFor([count](const std::vector<T>& all) { return all.size() >= count; },
                       timeoutMs);
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<T> items;
};

} // namespace dokatest

#pragma once

#include "core/hotplugwatcher/HotplugWatcher.h"
#include "platform/OxTime.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

// Stands in for the platform's notifications. A test fires from any thread; like a real
// source, the notification reaches the watcher on the watcher's own thread.
class FakeHotplugSource : public Lk::HotplugSource {
public:
    // The watcher restarted its timers for a notification between these two times.
    struct Delivery {
        unsigned before;
        unsigned after;
    };

    // Open attempts fail from now on, as when the platform refuses a client.
    void failOpen() {
        locked([&] { openFails = true; });
    }
    // Runs in each later open before the source listens: a slow platform, or a plug meanwhile.
    void setOpenAction(std::function<void()> action) {
        locked([&] { openAction = std::move(action); });
    }
    void fire() {
        locked([&] { ++queued; });
        changed.notify_all();
    }
    int openAttempts() { return copied(attempts); }
    bool isOpen() { return copied(watcher) != nullptr; }
    std::vector<Delivery> deliveries() { return copied(delivered); }

    bool open(Lk::HotplugWatcher& w) override {
        if (const std::function<void()> action = locked([&] { return openAction; }))
            action();
        return locked([&] {
            ++attempts;
            if (!openFails)
                watcher = &w;
            return !openFails;
        });
    }
    void waitForEvents() override {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [this] { return woken || queued > 0; });
        woken = false;
        const int events = std::exchange(queued, 0);
        Lk::HotplugWatcher* target = watcher;
        hold.unlock();
        for (int i = 0; i < events; ++i) {
            const unsigned before = Lk::getMilliTime();
            target->onHotplugEvent(Lk::HotplugWatcher::htMidi);
            const unsigned after = Lk::getMilliTime();
            locked([&] { delivered.push_back({before, after}); });
        }
    }
    void close() override {
        locked([&] { watcher = nullptr; });
    }
    void wake() override {
        locked([&] { woken = true; });
        changed.notify_all();
    }

private:
    template <typename T> T copied(const T& member) {
        std::lock_guard<std::mutex> hold(mutex);
        return member;
    }
    template <typename F> auto locked(F&& f) -> decltype(f()) {
        std::lock_guard<std::mutex> hold(mutex);
        return f();
    }

    std::mutex mutex;
    std::condition_variable changed;
    Lk::HotplugWatcher* watcher = nullptr; // while open
    std::function<void()> openAction;
    bool openFails = false;
    bool woken = false;
    int queued = 0; // notifications not yet handed over
    std::vector<Delivery> delivered;
    int attempts = 0;
};

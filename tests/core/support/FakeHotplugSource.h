#pragma once

#include "core/hotplugwatcher/HotplugWatcher.h"
#include "platform/OxTime.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <vector>

// Stands in for the platform's notifications. A test fires from any thread; like a real
// source, the notification reaches the watcher on the watcher's own thread. It also holds
// a device count, the state a listener looks at when it is told to check again.
class FakeHotplugSource : public Lk::HotplugSource {
public:
    // When a notification was handed to the watcher: its restarts of the timers happened
    // between the two times.
    struct Delivery {
        unsigned before;
        unsigned after;
    };

    // Open attempts fail from now on, as when the platform refuses a client.
    void failOpen() {
        std::lock_guard<std::mutex> hold(mutex);
        openFails = true;
    }
    // Runs on the opening thread in each later open, before the source listens: a slow
    // platform, or devices that change while the notifications are being set up.
    void setOpenAction(std::function<void()> action) {
        std::lock_guard<std::mutex> hold(mutex);
        openAction = std::move(action);
    }
    void fire(Lk::HotplugWatcher::Type types = Lk::HotplugWatcher::htMidi) {
        std::lock_guard<std::mutex> hold(mutex);
        queued.push_back(types);
        changed.notify_all();
    }
    void setDeviceCount(int count) {
        std::lock_guard<std::mutex> hold(mutex);
        devices = count;
    }
    int deviceCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return devices;
    }
    int openAttempts() {
        std::lock_guard<std::mutex> hold(mutex);
        return attempts;
    }
    bool isOpen() {
        std::lock_guard<std::mutex> hold(mutex);
        return watcher != nullptr;
    }
    std::vector<Delivery> deliveries() {
        std::lock_guard<std::mutex> hold(mutex);
        return delivered;
    }
    // The stack size of the thread that opened the source last.
    size_t openingThreadStackSize() {
        std::lock_guard<std::mutex> hold(mutex);
        return stackSize;
    }

    bool open(Lk::HotplugWatcher& w) override {
        pthread_attr_t attributes;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstacksize(&attributes, &size);
            pthread_attr_destroy(&attributes);
        }
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> hold(mutex);
            action = openAction;
        }
        if (action)
            action();
        std::lock_guard<std::mutex> hold(mutex);
        ++attempts;
        stackSize = size;
        if (openFails)
            return false;
        watcher = &w;
        return true;
    }
    void waitForEvents() override {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [this] { return woken || !queued.empty(); });
        woken = false;
        const std::vector<int> events = std::move(queued);
        queued.clear();
        Lk::HotplugWatcher* target = watcher;
        hold.unlock();
        for (const int types : events) {
            const unsigned before = Lk::getMilliTime();
            target->onHotplugEvent(types);
            const unsigned after = Lk::getMilliTime();
            hold.lock();
            delivered.push_back({before, after});
            hold.unlock();
        }
    }
    void close() override {
        std::lock_guard<std::mutex> hold(mutex);
        watcher = nullptr;
    }
    void wake() override {
        std::lock_guard<std::mutex> hold(mutex);
        woken = true;
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    Lk::HotplugWatcher* watcher = nullptr; // while open
    std::function<void()> openAction;
    bool openFails = false;
    bool woken = false;
    std::vector<int> queued;
    std::vector<Delivery> delivered;
    int devices = 0;
    int attempts = 0;
    size_t stackSize = 0;
};

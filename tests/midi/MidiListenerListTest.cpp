#include "platform/OxListenerList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

struct Listener {
    virtual ~Listener() = default;
    virtual void changed() = 0;
};

using List = Lk::OxListenerList<Listener>;

// Stays inside its call until released.
struct BlockingListener : Listener {
    void changed() override {
        entered = true;
        while (!released)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
};

} // namespace

TEST(MidiListenerList, removeWaitsUntilACallOnAnotherThreadHasReturned) {
    List list;
    BlockingListener listener;
    list.add(&listener);
    std::thread caller([&] { list.forEach([](Listener* l) { l->changed(); }); });
    while (!listener.entered)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    auto removal = std::async(std::launch::async, [&] { list.remove(&listener); });
    EXPECT_EQ(std::future_status::timeout, removal.wait_for(std::chrono::milliseconds(100)))
        << "the listener may not be destroyed while it is being called";
    listener.released = true;
    removal.wait();
    caller.join();
    EXPECT_FALSE(list.contains(&listener));
}

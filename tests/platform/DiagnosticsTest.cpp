#include "platform/ErrorHandler.h"
#include "platform/OrvoSystem.h"
#include "platform/OxString.h"
#include "platform/OxThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using Lk::OrvoSystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The end of a line that the calling thread writes: the part after the clock.
std::string lineEnd(const std::string& prefixAndText) {
    return Lk::OxString::format("-%p: ", Lk::OxThread::getCurrentThreadID()).c_str() +
           prefixAndText + "\n";
}

// Notes its deletion in a shared log; may delete or create other objects meanwhile.
class Logged : public Lk::AutoDelete {
public:
    Logged(int id, std::vector<int>& log) : id(id), log(log) {}
    ~Logged() override {
        log.push_back(id);
        delete owned;
        if (createOnDelete)
            *createOnDelete = new Logged(99, log);
    }
    int id;
    std::vector<int>& log;
    Logged* owned = nullptr;
    Logged** createOnDelete = nullptr;
};

} // namespace

TEST(EH_out, writesOneLineWithClockThreadAndPrefixOfAMessageUpTo32767Bytes) {
    // What one write puts on stderr after its clock; a line without a clock fails.
    const auto written = [](const std::function<void()>& write) {
        CaptureStderr();
        write();
        const std::string line = GetCapturedStderr();
        const size_t clock = std::min(line.find_first_not_of("0123456789"), line.size());
        EXPECT_EQ(line.empty(), clock == 0) << line;
        return line.substr(clock);
    };
    for (const size_t size : {5, 5000, 32767, 32768}) {
        const std::string text(size, 'a');
        EXPECT_EQ(size < 32768 ? lineEnd("ERROR: " + text) : "",
                  written([&] { Lk::EH_out(Lk::EH_OUTPUT_ERROR, "%s", text.c_str()); }))
            << size;
    }
    EXPECT_EQ(lineEnd("plain"), written([] { Lk::EH_output(0, "plain"); }));
    EXPECT_EQ(lineEnd("odd type"), written([] { Lk::EH_output(7, "odd type"); }));
    EXPECT_EQ(lineEnd("ERROR: "), written([] { Lk::EH_output(Lk::EH_OUTPUT_ERROR, nullptr); }));
}

TEST(OrvoSystem, shutdownDeletesInRegistrationOrderOnceSkippingObjectsDeletedMeanwhile) {
    std::vector<int> log;
    auto* owner = new Logged(1, log);
    auto* early = new Logged(2, log);
    owner->owned = new Logged(3, log); // deleted by its owner during shutdown
    Logged* createdDuringShutdown = nullptr;
    (new Logged(4, log))->createOnDelete = &createdDuringShutdown;
    delete early;
    OrvoSystem::shutdown();
    EXPECT_EQ((std::vector<int>{2, 1, 3, 4}), log);
    ASSERT_NE(nullptr, createdDuringShutdown);
    OrvoSystem::shutdown(); // nothing twice, and the object created meanwhile was not registered
    EXPECT_EQ(4u, log.size());
    delete createdDuringShutdown;

    log.clear();
    new Logged(5, log); // starts a new registry
    OrvoSystem::shutdown();
    EXPECT_EQ(std::vector<int>{5}, log);
}

TEST(OrvoSystem, objectsMayRegisterOnManyThreads) {
    static std::atomic<int> deletions{0};
    struct Counted : Lk::AutoDelete {
        ~Counted() override { ++deletions; }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) {
                delete new Counted(); // comes and goes
                new Counted();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    OrvoSystem::shutdown();
    EXPECT_EQ(400, deletions.load());
}

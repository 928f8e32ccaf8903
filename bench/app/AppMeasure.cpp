// Prints the application's figures: display latency from the data listener to the
// editors, start-up time to a shown window, resident memory and idle wake-ups. Run it
// under an X server (scripts/measure-app.sh starts Xvfb).
#include "midi/MidiAlias.h"
#include "src/AppContentPanel.h"
#include "src/AppMain.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;
bool waitForMappedWindow(const char* title, int timeoutMs);
void ignoreXErrors();

namespace {

using Clock = std::chrono::steady_clock;
double microsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// Display messages handed to the data listener on another thread, as the receive thread
// does; the time ends in a call queued behind the panel's update, checked to see the text.
void measureDisplayLatency(AppContentPanel& panel) {
    const int count = 1000;
    std::vector<double> micros;
    std::atomic<bool> arrived{false};
    std::thread sender([&] {
        for (int i = 0; i < count; ++i) {
            const unsigned char code = static_cast<unsigned char>(1 + i % 26);
            const unsigned char message[] = {0xF0, 0x77, code, 0x75, 0xF7};
            const juce::String expected = juce::String::charToString(juce::juce_wchar('@' + code));
            arrived = false;
            const auto start = Clock::now();
            int handled = 0;
            panel.OnMidiMessage(0, 0, message, 5, handled);
            juce::MessageManager::callAsync([&, start, expected] {
                if (panel.getLine1Editor()->getText() == expected)
                    micros.push_back(microsSince(start));
                arrived = true;
            });
            while (!arrived)
                std::this_thread::yield();
        }
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });
    // The program's own loop, which sleeps in poll() until a message comes (a timed loop
    // would add its own naps to every figure); the sender ends it.
    juce::MessageManager::getInstance()->runDispatchLoop();
    sender.join();
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) {
        std::printf("display latency: no message reached the editors\n");
        return;
    }
    std::printf("display latency over %zu messages: median %.1f us, worst %.1f us\n", micros.size(),
                micros[micros.size() / 2], micros.back());
}

long readStatusKb(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::string(key).size()));
    return -1;
}

long contextSwitches(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : juce::File(tasks).findChildFiles(juce::File::findDirectories, false)) {
        std::ifstream status(task.getChildFile("status").getFullPathName().toStdString());
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

// The program itself: start to mapped window, memory after start, wake-ups when idle.
void measureProcess(const char* program) {
    const std::string home =
        juce::File::createTempFile("doka-measure").getFullPathName().toStdString();
    juce::File(home).createDirectory();
    std::vector<std::string> env{"HOME=" + home};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string(*e).rfind("HOME=", 0) != 0)
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program), nullptr};
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()) != 0) {
        std::printf("cannot start %s\n", program);
        return;
    }
    if (waitForMappedWindow("Fennic DOKA", 20000))
        std::printf("process start to window shown: %.1f ms\n", microsSince(start) / 1000.0);
    else
        std::printf("process start to window shown: no window within 20 s\n");
    std::this_thread::sleep_for(std::chrono::seconds(6)); // past the start text's 5 s
    std::printf("resident memory after start: %ld kB\n", readStatusKb(pid, "VmRSS:"));
    const long before = contextSwitches(pid);
    const int idleSeconds = 10;
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const long after = contextSwitches(pid);
    std::printf("wake-ups when idle: %.1f per second (all threads, %d s)\n",
                static_cast<double>(after - before) / idleSeconds, idleSeconds);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    juce::File(home).deleteRecursively();
}

} // namespace

int main(int argc, char** argv) {
    ignoreXErrors();
    {
        const juce::ScopedJuceInitialiser_GUI juce;
        Lk::HotplugWatcher::setSourceFactory([]() -> std::unique_ptr<Lk::HotplugSource> {
            return std::make_unique<FakeHotplugSource>();
        });
        // The manager first: the shutdown deletes in order of creation, ports before backend.
        auto* manager = Lk::MidiManager::instance();
        manager->AddFactory(new Lk::TestMidiFactory(), 0);
        const juce::File home = juce::File::createTempFile("doka-measure-home");
        home.createDirectory();
        setenv("HOME", home.getFullPathName().toRawUTF8(), 1);
        {
            AppWindow window("Fennic DOKA");
            window.init({}, true);
            auto* panel = dynamic_cast<AppContentPanel*>(window.getContent());
            while (!panel->isStarted())
                juce::MessageManager::getInstance()->runDispatchLoopUntil(10);
            measureDisplayLatency(*panel);
        }
        home.deleteRecursively();
        juce::DeletedAtShutdown::deleteAll();
    }
    if (argc > 1)
        measureProcess(argv[1]);
    return 0;
}

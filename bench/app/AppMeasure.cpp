// Prints the application's figures: display latency from the data listener to the editors,
// to the screen and to the web view's page in a headless browser, start-up time to a shown
// window, resident memory, and idle wake-ups and CPU per thread beside those of a bare JUCE
// window (doka_bare_window), also with the web view on. Run it under an X server
// (scripts/measure-app.sh starts Xvfb).
#include "midi/MidiAlias.h"
#include "src/AppContentPanel.h"
#include "src/AppMain.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/gui/support/HeadlessBrowser.h"
#include "tests/gui/support/ScreenPixels.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;
bool waitForMappedWindow(const char* title, int timeoutMs);
void ignoreXErrors();
void movePointerAway();

namespace {

using Clock = std::chrono::steady_clock;
constexpr int IDLE_SECONDS = 10; // over which idle wake-ups are counted
double microsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// Runs on a thread of its own, while the message thread runs its loop.
// Display messages handed to the data listener on another thread, as the receive thread
// does; the time ends in a call queued behind the panel's update, checked to see the text.
void measureDisplayLatency(AppContentPanel& panel) {
    const int count = 1000;
    std::vector<double> micros;
    std::atomic<bool> arrived{false};
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
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) {
        std::printf("display latency: no message reached the editors\n");
        return;
    }
    std::printf("display latency over %zu messages: median %.1f us, worst %.1f us\n", micros.size(),
                micros[micros.size() / 2], micros.back());
}

// Runs on a thread of its own, while the message thread runs its loop.
// Display messages with pauses between them long enough for the window to fall idle; the
// time ends when the X server holds new pixels in the first line's area: what the user sees.
void measureScreenLatency(AppWindow& window, AppContentPanel& panel) {
    const juce::TextEditor* editor = panel.getLine1Editor();
    const auto area = window.getLocalArea(editor, editor->getLocalBounds());
    void* const handle = window.getPeer()->getNativeHandle();
    auto digest = [&] { return screenDigest(handle, area); };
    const int count = 100;
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const unsigned char code = static_cast<unsigned char>(1 + i % 26);
        const unsigned char message[] = {0xF0, 0x77, code, 0x75, 0xF7};
        const unsigned long before = digest();
        const auto start = Clock::now();
        int handled = 0;
        panel.OnMidiMessage(0, 0, message, 5, handled);
        while (digest() == before && microsSince(start) < 1e6)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        micros.push_back(microsSince(start));
    }
    std::sort(micros.begin(), micros.end());
    std::printf("display message to screen after an idle pause, %d messages: median %.1f ms, "
                "worst %.1f ms\n", count, micros[micros.size() / 2] / 1000.0, micros.back() / 1000.0);
}

// The system clock in milliseconds, as a page's performance.timeOrigin + performance.now().
double realtimeMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Runs on a thread of its own, while the message thread runs its loop.
// Display messages 20 ms apart, each with its number as its text; the page in a headless
// browser notes the time at which each text appears in its cells, matched by text with the
// time at which the message was handed to the data listener.
void measureWebViewLatency(AppContentPanel& panel) {
    HeadlessBrowser browser;
    const WebViewServer* server = panel.getWebView();
    if (server == nullptr ||
        !browser.open("http://127.0.0.1:" + juce::String(server->boundPort()) + "/") ||
        browser.evaluate(R"JS(window.seen = [];
            new MutationObserver(() => {
              const line = Array.from(document.querySelectorAll('.cell'), c => c.textContent)
                  .join('').slice(0, 8).trim();
              seen.push([line, performance.timeOrigin + performance.now()]);
            }).observe(document.querySelector('.display'),
                       {subtree: true, childList: true, characterData: true});
            true)JS").isVoid()) {
        std::printf("display message to web page: no page (%s)\n", browser.error().toRawUTF8());
        return;
    }
    const int count = 1000;
    std::map<juce::String, double> sent;
    for (int i = 0; i < count; ++i) {
        const juce::String text = juce::String(i).paddedLeft('0', 4);
        unsigned char message[] = {0xF0, 0x77, 0, 0, 0, 0, 0x75, 0xF7};
        for (int d = 0; d < 4; ++d)
            message[2 + d] = static_cast<unsigned char>(100 + text[d] - '0'); // digits
        sent[text] = realtimeMs();
        int handled = 0;
        panel.OnMidiMessage(0, 0, message, sizeof message, handled);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> ms;
    const juce::var seen = browser.evaluate("seen");
    for (int i = 0; seen.isArray() && i < seen.size(); ++i) {
        const auto at = sent.find(seen[i][0].toString());
        if (at != sent.end()) {
            ms.push_back(static_cast<double>(seen[i][1]) - at->second);
            sent.erase(at); // the first time it shows
        }
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("display message to web page: none shown (%s)\n", browser.error().toRawUTF8());
        return;
    }
    std::printf("display message to web page (headless Chromium), %zu of %d messages 20 ms apart: "
                "median %.1f ms, worst %.1f ms\n", ms.size(), count, ms[ms.size() / 2], ms.back());
}

long readStatusKb(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::string(key).size()));
    return -1;
}

// One thread's counters: context switches (each one a wake-up) and CPU clock ticks.
struct ThreadSample {
    std::string name;
    long switches = 0;
    long ticks = 0;
};

std::map<std::string, ThreadSample> sampleThreads(pid_t pid) {
    std::map<std::string, ThreadSample> threads;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : juce::File(tasks).findChildFiles(juce::File::findDirectories, false)) {
        ThreadSample& sample = threads[task.getFileName().toStdString()];
        sample.name = task.getChildFile("comm").loadFileAsString().trim().toStdString();
        std::ifstream status(task.getChildFile("status").getFullPathName().toStdString());
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                sample.switches += std::stol(line.substr(line.find(':') + 1));
        // utime and stime are the 14th and 15th fields, counted after the name's parenthesis.
        const auto stat = task.getChildFile("stat").loadFileAsString().fromLastOccurrenceOf(")", false, false);
        const auto fields = juce::StringArray::fromTokens(stat, " ", "");
        if (fields.size() > 13)
            sample.ticks = fields[12].getLargeIntValue() + fields[13].getLargeIntValue();
    }
    return threads;
}

// Wake-ups a second and share of a core over the interval, the process and each thread.
void printIdleFigures(const char* label, const std::map<std::string, ThreadSample>& before,
                      const std::map<std::string, ThreadSample>& after, double seconds) {
    const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    auto rates = [&](long switches, long ticks) {
        return std::make_pair(switches / seconds, 100.0 * ticks / ticksPerSecond / seconds);
    };
    long switches = 0, ticks = 0;
    std::string lines;
    for (const auto& [tid, sample] : after) {
        const auto old = before.find(tid);
        const ThreadSample start = old != before.end() ? old->second : ThreadSample{};
        const auto [wakes, cpu] = rates(sample.switches - start.switches, sample.ticks - start.ticks);
        switches += sample.switches - start.switches;
        ticks += sample.ticks - start.ticks;
        lines += juce::String::formatted("    %-16s %7.1f wake-ups/s %6.2f %% CPU\n",
                                         sample.name.c_str(), wakes, cpu).toStdString();
    }
    const auto [wakes, cpu] = rates(switches, ticks);
    std::printf("idle %s: %.1f wake-ups/s, %.2f %% of a core (%.0f s)\n%s", label, wakes, cpu,
                seconds, lines.c_str());
}

// Starts a program with its own empty home folder, so that no settings of the user apply.
pid_t spawnWithPrivateHome(const char* program, const juce::File& home,
                           const char* option = nullptr) {
    home.createDirectory();
    std::vector<std::string> env{"HOME=" + home.getFullPathName().toStdString()};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string(*e).rfind("HOME=", 0) != 0)
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(option), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()) != 0) {
        std::printf("cannot start %s\n", program);
        return 0;
    }
    return pid;
}

// The program again, with the web view on and no client: its server sleeps as the rest does.
void measureIdleWithWebView(const char* program, const juce::File& home) {
    const pid_t pid = spawnWithPrivateHome(program, home, "--web-view=127.0.0.1:0");
    if (pid == 0)
        return;
    if (!waitForMappedWindow("Fennic DOKA", 20000))
        std::printf("with the web view: no window within 20 s\n");
    std::this_thread::sleep_for(std::chrono::seconds(6)); // past the start text's 5 s
    const auto before = sampleThreads(pid);
    std::this_thread::sleep_for(std::chrono::seconds(IDLE_SECONDS));
    printIdleFigures("program with --web-view, no client", before, sampleThreads(pid),
                     IDLE_SECONDS);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// The program itself: start to mapped window, memory after start, then its idle figures
// beside those of the bare window, both running at once.
void measureProcess(const char* program, const char* bareWindow) {
    const juce::File home = juce::File::createTempFile("doka-measure");
    const auto start = Clock::now();
    const pid_t pid = spawnWithPrivateHome(program, home);
    if (pid == 0)
        return;
    if (waitForMappedWindow("Fennic DOKA", 20000))
        std::printf("process start to window shown: %.1f ms\n", microsSince(start) / 1000.0);
    else
        std::printf("process start to window shown: no window within 20 s\n");
    const pid_t barePid = bareWindow != nullptr ? spawnWithPrivateHome(bareWindow, home) : 0;
    if (barePid != 0 && !waitForMappedWindow("Bare JUCE window", 20000))
        std::printf("the bare window did not show within 20 s\n");
    movePointerAway();
    std::this_thread::sleep_for(std::chrono::seconds(6)); // past the start text's 5 s
    std::printf("resident memory after start: %ld kB\n", readStatusKb(pid, "VmRSS:"));
    const auto before = sampleThreads(pid);
    const auto bareBefore = sampleThreads(barePid);
    std::this_thread::sleep_for(std::chrono::seconds(IDLE_SECONDS));
    printIdleFigures("program", before, sampleThreads(pid), IDLE_SECONDS);
    if (barePid != 0)
        printIdleFigures("bare JUCE window", bareBefore, sampleThreads(barePid), IDLE_SECONDS);
    for (const pid_t child : {pid, barePid})
        if (child != 0) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        }
    measureIdleWithWebView(program, home);
    home.deleteRecursively();
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
            window.init("--web-view=127.0.0.1:0", true);
            auto* panel = dynamic_cast<AppContentPanel*>(window.getContent());
            while (!panel->isStarted())
                juce::MessageManager::getInstance()->runDispatchLoopUntil(10);
            std::thread sender([&] {
                measureDisplayLatency(*panel);
                measureScreenLatency(window, *panel);
                measureWebViewLatency(*panel);
                juce::MessageManager::getInstance()->stopDispatchLoop();
            });
            // The program's own loop, which sleeps in poll() until a message comes (a timed
            // loop would add its own naps to every figure); the sender ends it.
            juce::MessageManager::getInstance()->runDispatchLoop();
            sender.join();
        }
        home.deleteRecursively();
        juce::DeletedAtShutdown::deleteAll();
    }
    if (argc > 1)
        measureProcess(argv[1], argc > 2 ? argv[2] : nullptr);
    return 0;
}

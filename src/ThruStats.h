#pragma once

#include "midi/MidiThruCounters.h"
#include "platform/OxTimer.h"
#include "src/LineOutput.h"

#include <functional>
#include <memory>
#include <string>

// The thru counters (Lk::MidiThruStats) as one line for standard output ("--stats"):
//     STATS <when> received=<messages>/<bytes> forwarded=<messages>/<bytes>
//           not-forwarded=<messages>/<bytes>
// all on one line, <when> "running" for the periodic lines and "exit" for the last one.
std::string formatThruStatsLine(const Lk::MidiThruStats& stats, const char* when);
// The same for people, three lines, as the display's tooltip shows it.
std::string describeThruStats(const Lk::MidiThruStats& stats);

using ThruStatsSource = std::function<Lk::MidiThruStats()>;

// Writes a "running" line every `intervalMs` on the timer thread, and the "exit" line when
// told; a reader that does not read never holds up the timer thread. The timer stops with
// finish() or the destructor, which must come before the library shuts down.
class ThruStatsPrinter : public Lk::OxTimer::Listener {
public:
    static constexpr int DEFAULT_INTERVAL_MS = 10000;

    ThruStatsPrinter(LineOutput& out, ThruStatsSource source, int intervalMs = DEFAULT_INTERVAL_MS);
    ~ThruStatsPrinter() override;
    ThruStatsPrinter(const ThruStatsPrinter&) = delete;
    ThruStatsPrinter& operator=(const ThruStatsPrinter&) = delete;

    // Stops the periodic lines and writes the "exit" line (once); on the owner's thread.
    void finish();
    void onTimer(Lk::OxTimer*) override;

private:
    void print(const char* when);

    LineOutput& out;
    ThruStatsSource source;
    std::unique_ptr<Lk::OxTimer> timer;
    bool finished = false;
};

// The counters under a tooltip. While the tip waits to appear they stay as they were when
// the pointer came (a tip whose text keeps changing never appears); once it shows, every ask
// reads them anew, so that the shown tip follows the traffic.
class ThruStatsTip {
public:
    explicit ThruStatsTip(ThruStatsSource source) : source(std::move(source)) {}
    // The text for the component under the pointer (any identity), asked while the tip is
    // shown or not.
    std::string textFor(const void* component, bool tipShowing);
    // The pointer is over something else.
    void left() { component = nullptr; }

private:
    ThruStatsSource source;
    const void* component = nullptr;
    std::string text;
};

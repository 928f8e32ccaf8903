#include "src/ThruStats.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string pair(uint64_t messages, uint64_t bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%" PRIu64 "/%" PRIu64, messages, bytes);
    return text;
}

std::string amount(uint64_t messages, uint64_t bytes) {
    char text[96];
    std::snprintf(text, sizeof text, "%" PRIu64 " message%s, %" PRIu64 " byte%s", messages,
                  messages == 1 ? "" : "s", bytes, bytes == 1 ? "" : "s");
    return text;
}

} // namespace

std::string formatThruStatsLine(const Lk::MidiThruStats& s, const char* when) {
    return std::string("STATS ") + when + " received=" + pair(s.receivedMessages, s.receivedBytes) +
           " forwarded=" + pair(s.forwardedMessages, s.forwardedBytes) +
           " not-forwarded=" + pair(s.notForwardedMessages, s.notForwardedBytes);
}

std::string describeThruStats(const Lk::MidiThruStats& s) {
    return "Received: " + amount(s.receivedMessages, s.receivedBytes) +
           "\nPassed to MIDI Thru: " + amount(s.forwardedMessages, s.forwardedBytes) +
           "\nNot passed on (thru port not open): " +
           amount(s.notForwardedMessages, s.notForwardedBytes);
}

ThruStatsPrinter::ThruStatsPrinter(LineOutput& out, ThruStatsSource source, int intervalMs)
    : out(out), source(std::move(source)),
      timer(std::make_unique<Lk::OxTimer>(this, intervalMs, 1, "Thru statistics")) {
    timer->start();
}

ThruStatsPrinter::~ThruStatsPrinter() {
    timer.reset(); // waits for a line in progress
}

void ThruStatsPrinter::finish() {
    timer.reset();
    if (finished)
        return;
    finished = true;
    print("exit");
}

void ThruStatsPrinter::onTimer(Lk::OxTimer*) {
    print("running");
}

void ThruStatsPrinter::print(const char* when) {
    out.write(formatThruStatsLine(source(), when));
}

std::string ThruStatsTip::textFor(const void* c, bool tipShowing) {
    if (tipShowing || c != component) {
        component = c;
        text = describeThruStats(source());
    }
    return text;
}

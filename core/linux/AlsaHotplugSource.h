#pragma once

#include "core/hotplugwatcher/HotplugSource.h"

typedef struct _snd_seq snd_seq_t;

namespace Lk {

// MIDI setup changes from the ALSA sequencer: a client of its own, subscribed to the system's
// announce port, reports clients and ports that start, end or change. Waiting is a poll() on
// the sequencer and on an eventfd that wake() counts up, so a wake is kept until a wait reads
// it.
class AlsaHotplugSource : public HotplugSource {
public:
    AlsaHotplugSource();
    AlsaHotplugSource(const AlsaHotplugSource&) = delete;
    AlsaHotplugSource& operator=(const AlsaHotplugSource&) = delete;
    ~AlsaHotplugSource() override;

    // Makes HotplugWatcher::instance() create its watcher with this source. For the
    // application's start-up, before the first instance().
    static void install();

    // False when the sequencer refuses the client or the subscription. Without a sequencer
    // device at all the watcher is set to poll, quietly.
    bool open(HotplugWatcher& watcher) override;
    void waitForEvents() override;
    void close() override;
    void wake() override;

private:
    void readEvents();
    // The sequencer failed after open(): the watcher polls, and waits only for wake().
    void giveUp();
    void consumeWake();

    const int wakeFd; // -1 when no eventfd could be made: open() fails then
    snd_seq_t* sequencer = nullptr;
    HotplugWatcher* watcher = nullptr;
};

} // namespace Lk

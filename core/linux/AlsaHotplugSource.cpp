#include "core/linux/AlsaHotplugSource.h"

#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaSequencer.h"
#include "platform/ErrorHandler.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace Lk {

namespace {

constexpr const char* kClientName = "HotplugWatcher::MIDI";
constexpr const char* kPortName = "announcements";

// Connections between ports are not setup changes: the MIDI backend makes them itself
// whenever it opens a port.
bool isSetupChange(snd_seq_event_type_t type) {
    switch (type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
        return true;
    default:
        return false;
    }
}

std::unique_ptr<HotplugSource> makeSource() {
    return std::make_unique<AlsaHotplugSource>();
}

} // namespace

AlsaHotplugSource::AlsaHotplugSource() : wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

AlsaHotplugSource::~AlsaHotplugSource() {
    close();
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void AlsaHotplugSource::install() {
    HotplugWatcher::setSourceFactory(&makeSource);
}

bool AlsaHotplugSource::open(HotplugWatcher& target) {
    if (wakeFd < 0 || sequencer != nullptr)
        return false;
    AlsaSequencer::silenceLibraryErrors();
    // Without a sequencer at all the MIDI backend tells the user; the watcher polls quietly,
    // to find the sequencer once its module is loaded.
    if (access(AlsaSequencer::devicePath(), F_OK) != 0) {
        target.switchToPolling(HotplugWatcher::htMidi);
        return true;
    }
    if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
        sequencer = nullptr;
        return false;
    }
    snd_seq_set_client_name(sequencer, kClientName);
    const int port = snd_seq_create_simple_port(sequencer, kPortName,
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 || snd_seq_connect_from(sequencer, port, SND_SEQ_CLIENT_SYSTEM,
                                         SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
        close();
        return false;
    }
    watcher = &target;
    return true;
}

void AlsaHotplugSource::close() {
    if (sequencer != nullptr)
        snd_seq_close(sequencer);
    sequencer = nullptr;
    watcher = nullptr;
}

void AlsaHotplugSource::wake() {
    const uint64_t one = 1;
    // EAGAIN: the counter is full, so a wake is pending anyway.
    while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void AlsaHotplugSource::waitForEvents() {
    // libasound may hold events that it read along with earlier ones; the descriptor does
    // not show them.
    if (sequencer != nullptr && snd_seq_event_input_pending(sequencer, 0) > 0) {
        readEvents();
        return;
    }
    std::vector<pollfd> fds(1);
    fds[0] = {wakeFd, POLLIN, 0};
    if (sequencer != nullptr) {
        const int count = snd_seq_poll_descriptors_count(sequencer, POLLIN);
        if (count > 0) {
            fds.resize(1 + static_cast<size_t>(count));
            snd_seq_poll_descriptors(sequencer, &fds[1], static_cast<unsigned>(count), POLLIN);
        }
    }
    if (poll(fds.data(), fds.size(), -1) < 0)
        return; // EINTR: the caller waits again
    bool sequencerReady = false;
    bool sequencerBroken = false;
    for (size_t i = 1; i < fds.size(); ++i) {
        sequencerReady = sequencerReady || (fds[i].revents & POLLIN) != 0;
        sequencerBroken = sequencerBroken || (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL));
    }
    if (sequencerReady)
        readEvents();
    else if (sequencerBroken)
        giveUp();
    if (fds[0].revents & POLLIN)
        consumeWake();
}

void AlsaHotplugSource::readEvents() {
    bool changed = false;
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(sequencer, &event);
        if (result == -EAGAIN || result == -EINTR)
            break; // nothing more for now; the next wait polls again
        if (result == -ENOSPC) {
            changed = true; // events were dropped; any of them may have been a change
            continue;
        }
        if (result < 0) {
            giveUp();
            break;
        }
        changed = changed || (event != nullptr && isSetupChange(event->type));
    }
    if (changed && watcher != nullptr)
        watcher->onHotplugEvent(HotplugWatcher::htMidi);
}

void AlsaHotplugSource::giveUp() {
    if (sequencer == nullptr)
        return;
    EH_output(EH_OUTPUT_ERROR, "HotplugWatcher: lost the ALSA sequencer; polling instead.");
    HotplugWatcher* const target = watcher;
    snd_seq_close(sequencer);
    sequencer = nullptr;
    target->switchToPolling(HotplugWatcher::htMidi);
}

void AlsaHotplugSource::consumeWake() {
    uint64_t count = 0;
    while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace Lk

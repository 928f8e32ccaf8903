#pragma once

#include "midi/MidiInput.h"

#include <mutex>
#include <vector>

namespace Lk {

using Bytes = std::vector<unsigned char>;

// A data listener that keeps every message it is given, with its time stamp; may be read
// on another thread than the one that delivers.
class MessageRecorder : public TMidiDeviceDataListener {
public:
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long timestamp,
                             const unsigned char* data, int length) override {
        std::lock_guard<std::mutex> hold(mutex);
        messages.emplace_back(data, data + length);
        timestamps.push_back(timestamp);
    }

    // The messages so far; they are forgotten here.
    std::vector<Bytes> take() {
        std::lock_guard<std::mutex> hold(mutex);
        timestamps.clear();
        std::vector<Bytes> taken;
        taken.swap(messages);
        return taken;
    }
    std::vector<unsigned long long> takeTimestamps() {
        std::lock_guard<std::mutex> hold(mutex);
        messages.clear();
        std::vector<unsigned long long> taken;
        taken.swap(timestamps);
        return taken;
    }

private:
    std::mutex mutex;
    std::vector<Bytes> messages;
    std::vector<unsigned long long> timestamps;
};

} // namespace Lk

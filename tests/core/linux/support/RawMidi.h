#pragma once

#include "core/linux/AlsaSequencer.h"
#include "tests/support/MidiBytes.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <unistd.h>

// The raw end of a virmidi device, where the bytes that its sequencer port was sent come
// out, or where bytes are written for its port to send.
class RawMidi {
public:
    RawMidi(const char* device, bool reader) {
        if (reader) {
            EXPECT_GE(snd_rawmidi_open(&in, nullptr, device, SND_RAWMIDI_NONBLOCK), 0);
            if (in == nullptr)
                return;
            // Room for the largest test message, so that no reader has to keep pace.
            snd_rawmidi_params_t* params;
            snd_rawmidi_params_alloca(&params);
            snd_rawmidi_params_current(in, params);
            snd_rawmidi_params_set_buffer_size(in, params, 1 << 20);
            EXPECT_GE(snd_rawmidi_params(in, params), 0);
            // A virmidi end drops input until its reader has started reading.
            unsigned char byte;
            snd_rawmidi_read(in, &byte, 1);
        } else {
            EXPECT_GE(snd_rawmidi_open(nullptr, &out, device, 0), 0);
        }
    }
    ~RawMidi() {
        if (in != nullptr)
            snd_rawmidi_close(in);
        if (out != nullptr)
            snd_rawmidi_close(out);
    }
    // Reads until `count` bytes came or the time is up; the arrival time of the first
    // and of the last byte go to `first` and `last`.
    dokatest::Bytes read(size_t count, int timeoutMs, unsigned long long* first = nullptr,
                         unsigned long long* last = nullptr) {
        dokatest::Bytes got;
        unsigned char buffer[4096];
        const unsigned long long deadline = Lk::alsaNanoTime() + timeoutMs * 1000000ull;
        while (got.size() < count && in != nullptr && Lk::alsaNanoTime() < deadline) {
            const ssize_t n = snd_rawmidi_read(in, buffer, sizeof buffer);
            if (n <= 0) {
                usleep(200);
                continue;
            }
            const unsigned long long now = Lk::alsaNanoTime();
            if (got.empty() && first != nullptr)
                *first = now;
            if (last != nullptr)
                *last = now;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
    void write(const unsigned char* data, size_t length) {
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(snd_rawmidi_write(out, data, length), static_cast<ssize_t>(length));
    }

private:
    snd_rawmidi_t* in = nullptr;
    snd_rawmidi_t* out = nullptr;
};

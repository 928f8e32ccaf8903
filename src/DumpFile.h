#pragma once

#include <cstdio>
#include <mutex>

// The dump of every received MIDI byte. Written by the receive thread, closed by the
// message thread; each message is flushed so that a crash keeps what was received.
class DumpFile {
public:
    ~DumpFile() { close(); }

    // Truncates or creates the file; reports a failure on the standard error stream.
    bool open(const char* path);
    void write(const unsigned char* data, int length);
    void close();
    bool isOpen() const;

private:
    mutable std::mutex mutex;
    std::FILE* file = nullptr; // guarded by mutex
};

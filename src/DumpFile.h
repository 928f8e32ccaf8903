#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The dump of every received MIDI byte. write() is called by the receive thread and never
// waits for the file: it copies the bytes into a bounded buffer that a writer thread hands
// to the file at least every FLUSH_MS, so that a crash loses little. What does not fit in
// the buffer is dropped and counted; a failed write is reported once on standard error.
class DumpFile {
public:
    static constexpr size_t BUFFER_BYTES = 1 << 20; // over five minutes of a MIDI wire
    static constexpr int FLUSH_MS = 100;
    // How long close() waits for a pipe or FIFO whose reader stopped before it gives up.
    static constexpr int CLOSE_WAIT_MS = 2000;

    DumpFile() = default;
    DumpFile(const DumpFile&) = delete;
    DumpFile& operator=(const DumpFile&) = delete;
    ~DumpFile() { close(); }

    // Truncates or creates the file, refusing a symbolic link; reports a failure on the
    // standard error stream. Not while write() may run.
    bool open(const char* path);
    void write(const unsigned char* data, int length);
    // Writes out everything buffered (or gives up after CLOSE_WAIT_MS on a pipe that is not
    // read; those bytes count as dropped), then closes. Not while write() may run.
    void close();
    bool isOpen() const;
    // The bytes dropped or not written since the last open because the file did not keep up.
    uint64_t droppedBytes() const;

private:
    void writeOut();
    void writeAll(const std::vector<unsigned char>& bytes);
    // Whether close() asked to stop CLOSE_WAIT_MS ago or more.
    bool closeWaitIsOver();

    std::string path;
    int fd = -1;
    std::thread writer;
    std::vector<unsigned char> writing; // the writer thread's only
    bool writeFailed = false;           // the writer thread's only: told once
    bool dropReported = false;          // the writer thread's only
    std::chrono::steady_clock::time_point giveUpAt; // the writer thread's only: set on close

    // Short holds only: never while the file is written.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<unsigned char> filling; // written by the receive thread
    uint64_t dropped = 0;
    bool overflowed = false; // the buffer was full at some write()
    bool stopping = false;
    bool opened = false;
};

#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

// Lines for a reader at the other end of an output ("--print-display" and "--stats" on
// standard output), written by a thread of their own so that the threads that make them
// never wait for the reader. A reader that stops reading (a paused pager, a full pipe) costs
// lines, not time: beyond MAX_QUEUED_BYTES whole lines are dropped, which the writer says on
// stderr once it can write again. A reader that went away (EPIPE) or a failed write ends the
// printing, not the program: the writer never gets SIGPIPE.
class LineOutput {
public:
    static constexpr size_t MAX_QUEUED_BYTES = 64 * 1024;
    // How long the destructor lets a slow reader take what is queued.
    static constexpr int DRAIN_MS = 1000;

    // Writes to a duplicate of `fd`; `fd` itself stays the caller's.
    explicit LineOutput(int fd);
    // Waits up to DRAIN_MS for the queued lines to be written; a writer still blocked then
    // is left to end with the process and loses the rest.
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // Queues the line and a line break, or drops it; never waits for the reader. Any thread.
    void write(const std::string& line);
    // The output failed or its reader went away: nothing more is written.
    bool isClosed() const;

private:
    struct Queue;
    static void run(std::shared_ptr<Queue> queue);

    // Shared with the writer thread, which may outlive this object.
    std::shared_ptr<Queue> queue;
    std::thread writer;
};

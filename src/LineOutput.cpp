#include "src/LineOutput.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

struct LineOutput::Queue {
    explicit Queue(int fd) : fd(fcntl(fd, F_DUPFD_CLOEXEC, 0)) {}
    ~Queue() {
        if (fd >= 0)
            close(fd);
    }
    // False once the output failed.
    bool writeAll(const std::string& text) const {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EINTR)
                return false;
        }
        return true;
    }

    const int fd;
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by the mutex; written by the producing threads and the writer.
    std::deque<std::string> lines;
    size_t queuedBytes = 0;
    size_t dropped = 0;
    bool closed = false;
    bool stopping = false;
    bool finished = false;
};

LineOutput::LineOutput(int fd) : queue(std::make_shared<Queue>(fd)) {
    if (queue->fd < 0)
        queue->closed = true;
    else
        writer = std::thread(run, queue);
}

LineOutput::~LineOutput() {
    if (!writer.joinable())
        return;
    std::unique_lock<std::mutex> hold(queue->mutex);
    queue->stopping = true;
    queue->changed.notify_all();
    const bool finished = queue->changed.wait_for(hold, std::chrono::milliseconds(DRAIN_MS),
                                                  [this] { return queue->finished; });
    hold.unlock();
    if (finished)
        writer.join();
    else
        writer.detach();
}

void LineOutput::write(const std::string& line) {
    std::lock_guard<std::mutex> hold(queue->mutex);
    if (queue->closed || queue->stopping)
        return;
    if (queue->queuedBytes + line.size() + 1 > MAX_QUEUED_BYTES) {
        ++queue->dropped;
        return;
    }
    queue->lines.push_back(line + "\n");
    queue->queuedBytes += line.size() + 1;
    queue->changed.notify_all();
}

bool LineOutput::isClosed() const {
    std::lock_guard<std::mutex> hold(queue->mutex);
    return queue->closed;
}

void LineOutput::run(std::shared_ptr<Queue> queue) {
    // A reader that went away gives EPIPE here, whatever the program does with the signal.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::unique_lock<std::mutex> hold(queue->mutex);
    for (;;) {
        queue->changed.wait(hold, [&] { return queue->stopping || !queue->lines.empty(); });
        if (queue->lines.empty())
            break;
        const std::string text = std::move(queue->lines.front());
        queue->lines.pop_front();
        queue->queuedBytes -= text.size();
        const size_t dropped = queue->dropped;
        queue->dropped = 0;
        hold.unlock();
        if (dropped > 0)
            std::fprintf(stderr, "%zu lines for standard output were dropped: it was not read.\n",
                         dropped);
        const bool written = queue->writeAll(text);
        if (!written)
            std::fprintf(stderr, "Standard output is closed: nothing more is printed there.\n");
        hold.lock();
        if (!written) {
            queue->closed = true;
            queue->lines.clear();
            break;
        }
    }
    queue->finished = true;
    queue->changed.notify_all();
}

#include "src/DumpFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

bool DumpFile::open(const char* target) {
    close();
    // A link is not followed: it could make the dump truncate any file of the user's.
    // Non-blocking, so that a pipe or FIFO whose reader stopped cannot hold the quit forever.
    fd = ::open(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        const char* why =
            errno == ELOOP ? "it is a symbolic link, which is not followed" : std::strerror(errno);
        std::fprintf(stderr, "Cannot open %s for dumping: %s\n", target, why);
        return false;
    }
    path = target;
    writeFailed = dropReported = false;
    giveUpAt = {};
    {
        std::lock_guard<std::mutex> hold(mutex);
        filling.reserve(BUFFER_BYTES);
        dropped = 0;
        overflowed = false;
        stopping = false;
        opened = true;
    }
    writer = std::thread([this] { writeOut(); });
    std::printf("Dumping to %s...\n", target);
    std::fflush(stdout);
    return true;
}

void DumpFile::write(const unsigned char* data, int length) {
    if (data == nullptr || length <= 0)
        return;
    std::lock_guard<std::mutex> hold(mutex);
    if (!opened)
        return;
    if (filling.size() + static_cast<size_t>(length) <= BUFFER_BYTES) {
        filling.insert(filling.end(), data, data + length);
    } else {
        dropped += static_cast<uint64_t>(length);
        overflowed = true;
    }
}

void DumpFile::close() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (!opened)
            return;
        opened = false;
        stopping = true;
    }
    wake.notify_all();
    writer.join();
    ::close(fd);
    fd = -1;
}

bool DumpFile::isOpen() const {
    std::lock_guard<std::mutex> hold(mutex);
    return opened;
}

uint64_t DumpFile::droppedBytes() const {
    std::lock_guard<std::mutex> hold(mutex);
    return dropped;
}

void DumpFile::writeOut() {
    writing.reserve(BUFFER_BYTES);
    for (bool last = false; !last;) {
        bool dropping;
        {
            std::unique_lock<std::mutex> hold(mutex);
            wake.wait_for(hold, std::chrono::milliseconds(FLUSH_MS), [&] { return stopping; });
            last = stopping;
            writing.swap(filling);
            dropping = overflowed;
        }
        writeAll(writing);
        writing.clear();
        if (dropping && !dropReported) {
            dropReported = true;
            std::fprintf(stderr, "%s does not keep up: received bytes are left out of the dump\n",
                         path.c_str());
        }
    }
}

void DumpFile::writeAll(const std::vector<unsigned char>& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno == EAGAIN && !closeWaitIsOver()) {
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, FLUSH_MS);
        } else if (errno != EINTR) {
            const int error = errno;
            {
                std::lock_guard<std::mutex> hold(mutex);
                dropped += bytes.size() - done;
            }
            // Told once: later rounds try again (a full disk may get room), each failing alike.
            if (!writeFailed)
                std::fprintf(stderr, "Cannot write %s: %s\n", path.c_str(),
                             error == EAGAIN ? "nothing reads it" : std::strerror(error));
            writeFailed = true;
            return;
        }
    }
}

bool DumpFile::closeWaitIsOver() {
    const auto now = std::chrono::steady_clock::now();
    if (giveUpAt == std::chrono::steady_clock::time_point{}) {
        std::lock_guard<std::mutex> hold(mutex);
        if (stopping)
            giveUpAt = now + std::chrono::milliseconds(CLOSE_WAIT_MS);
    }
    return giveUpAt != std::chrono::steady_clock::time_point{} && now >= giveUpAt;
}

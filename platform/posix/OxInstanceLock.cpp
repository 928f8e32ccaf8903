#include "platform/OxInstanceLock.h"

#include "platform/OxUtils.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Lk {

OxInstanceLock::OxInstanceLock(const OxString& folder, const OxString& name)
    : lockPath(folder + "/" + name + ".lock"), fifoPath(folder + "/" + name + ".raise") {
    ForceDirectories(folder);
    lockFile = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    held = lockFile >= 0 && ::flock(lockFile, LOCK_EX | LOCK_NB) == 0;
    if (!held) {
        if (lockFile < 0 || errno != EWOULDBLOCK)
            why = OxString(std::strerror(errno)) + ": " + lockPath;
        return;
    }
    // What a holder that ended left there is taken over; anything else in its place goes.
    struct stat info {};
    if (::lstat(fifoPath.c_str(), &info) == 0 && !S_ISFIFO(info.st_mode))
        ::unlink(fifoPath.c_str());
    ::mkfifo(fifoPath.c_str(), 0600);
    // Opened for writing too, so that it never reads as ended between two requests.
    fifo = ::open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

OxInstanceLock::~OxInstanceLock() {
    if (fifo >= 0) {
        ::unlink(fifoPath.c_str());
        ::close(fifo);
    }
    if (lockFile >= 0)
        ::close(lockFile);
}

bool OxInstanceLock::askHolderToRaise() const {
    const int holder = ::open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (holder < 0)
        return false;
    const char request = 1;
    const bool asked = ::write(holder, &request, 1) == 1;
    ::close(holder);
    return asked;
}

bool OxInstanceLock::takeRaiseRequests() {
    char requests[64];
    bool any = false;
    while (fifo >= 0 && ::read(fifo, requests, sizeof requests) > 0)
        any = true;
    return any;
}

} // namespace Lk

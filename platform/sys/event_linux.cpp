#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/sys/deadline.h"
#include "platform/sys/event.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {

// An eventfd is readable while its counter is nonzero: Set adds to the counter,
// Reset drains it, which gives manual-reset semantics for poll().
Event::Event() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0) {
        native_ = fd;
    } else {
        SetLastError(errno);
    }
}

Event::~Event() {
    if (valid()) {
        close(static_cast<int>(native_));
    }
}

void Event::Set() {
    if (!valid()) {
        return;
    }
    const uint64_t one = 1;
    // EAGAIN only when the counter is about to overflow, i.e. it is set anyway.
    while (write(static_cast<int>(native_), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::Reset() {
    if (!valid()) {
        return;
    }
    uint64_t value = 0;
    while (read(static_cast<int>(native_), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::IsSet() const {
    if (!valid()) {
        return false;
    }
    pollfd p{static_cast<int>(native_), POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int WaitAny(std::span<const Waitable> objects, int timeoutMs) {
    // Every wait of the program names a handful of objects: they live on the
    // stack, so that a wait allocates nothing.
    constexpr std::size_t kOnStack = 8;
    pollfd stackFds[kOnStack];
    int stackIndex[kOnStack];
    std::vector<pollfd> heapFds;
    std::vector<int> heapIndex;
    pollfd* fds = stackFds;
    int* index = stackIndex;
    if (objects.size() > kOnStack) {
        heapFds.resize(objects.size());
        heapIndex.resize(objects.size());
        fds = heapFds.data();
        index = heapIndex.data();
    }
    std::size_t count = 0;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i].native != Waitable::kNone) {
            fds[count] = pollfd{static_cast<int>(objects[i].native), POLLIN, 0};
            index[count] = static_cast<int>(i);
            ++count;
        }
    }
    // A signal is no event: the wait goes on, but only for what is left of it.
    const Deadline deadline(timeoutMs);
    for (;;) {
        const int n = poll(fds, count, deadline.RemainingMs());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastError(errno);
            return kWaitFailed;
        }
        if (n == 0) {
            return kWaitTimeout;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (fds[i].revents != 0) {
                return index[i];
            }
        }
    }
}

}  // namespace plk::platform

#include "velta/source/task/SelectInterrupter.h"

#include <cstdint>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "velta/source/base/Fatal.h"

// One eventfd instead of a pipe: a single descriptor, a counter that the
// kernel serialises between any number of writing threads, and a read side
// that becomes readable as long as the counter is non-zero. Interrupts that
// arrive before the reactor looks coalesce into one readable state, so a
// burst of notify requests costs one wake-up. The reactor cannot go on
// without it (nothing else shortens its wait), hence the emergency exit.
//
// The descriptor is non-blocking so that reset() can drain it without ever
// blocking the reactor, even when another thread's interrupt raced with it.

SelectInterrupter::SelectInterrupter()
{
    m_fd = eventfd(0, 0);
    // Zero is refused too: a descriptor 0 is never waited for by the select
    // loop, so it could not wake the reactor.
    if (m_fd < 1)
        VELTA_EMERGENCY_EXIT("create eventfd\n");
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

SelectInterrupter::~SelectInterrupter()
{
    close(m_fd);
}

// One read of an eventfd returns the whole counter and sets it to zero, so
// the loop normally runs once; it goes on until the read reports that
// nothing is left, which also covers an interrupt that landed between the
// select and this call (its wake-up is then simply merged into this one).
void SelectInterrupter::reset()
{
    uint64_t value;
    while (read(m_fd, &value, sizeof(value)) > 0) {
    }
}

// Writing 1 adds to the counter; the write can only fall short if the
// counter were about to overflow, which 2^64 - 2 interrupts without a single
// reset() cannot reach, so a short write is a broken invariant.
void SelectInterrupter::interrupt()
{
    uint64_t value = 1;
    size_t ret = static_cast<size_t>(write(m_fd, &value, sizeof(value)));
    VELTA_ASSERT(ret == sizeof(uint64_t));
}

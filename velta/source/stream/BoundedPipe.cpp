#include "velta/source/stream/BoundedPipe.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Fatal.h"
#include "velta/source/task/AtomValue.h"
#include "velta/source/task/Poller.h"
#include "velta/source/task/Reactor.h"

namespace {

constexpr unsigned long PIPE_BLOCK_SIZE = 0x1000000;
constexpr unsigned PIPE_TIMER_MS = 500;
// Empty looks after the last packet before the consumer stops looking and
// waits for the consume slot instead.
constexpr int PIPE_IDLE_LOOKS = 6;

}  // namespace

BoundedPipe::BoundedPipe(Reactor* producer, Reactor* consumer, int capacity, Poller* poller)
    : m_producer(producer),
      m_consumer(consumer),
      m_ring(capacity, 0),
      m_allocator(PIPE_BLOCK_SIZE),
      m_timer(producer->open_delay_scheduler(PIPE_TIMER_MS)),
      m_timer_task(this),
      m_consume_task(this),
      m_consume_notify(consumer->alloc_notify(&m_consume_task)),
      m_produce_task(this),
      m_produce_notify(producer->alloc_notify(&m_produce_task)),
      m_poller(poller),
      m_timer_read_pos(m_ring.read_pos())
{
    m_timer->schedule(&m_timer_task);
}

// The node may still wait in the consumer's poller (or in the list its
// poll() filled); left there, the next poll would hand out freed memory.
BoundedPipe::~BoundedPipe()
{
    m_list_node.detach();
    delete m_timer;
}

BoundedPipe* BoundedPipe::from_list_node(ListNode* node)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    return reinterpret_cast<BoundedPipe*>(reinterpret_cast<char*>(node) -
                                          offsetof(BoundedPipe, m_list_node));
#pragma GCC diagnostic pop
}

int BoundedPipe::write(const Packet& packet)
{
    if (m_ring.full())
        return EC_WOULDBLOCK;
    char* buf = static_cast<char*>(m_allocator.allocate(packet.length(), nullptr));
    VELTA_ASSERT(buf != nullptr);
    if (packet.length() > 0)
        memcpy(buf, packet.data(), packet.length());
    Packet copy;
    copy.attach(buf, packet.length());
    m_ring.push_back(copy);
    handoff_barrier();
    m_consumer->request_notify(m_consume_notify);
    return EC_NONE;
}

int BoundedPipe::schedule(Task* task)
{
    if (!m_ring.full())
        return 0;
    if (__atomic_load_n(&m_producer_blocked, __ATOMIC_SEQ_CST)) {
        m_blocked_tasks.push_back(task);
        return -1;
    }
    __atomic_store_n(&m_producer_blocked, true, __ATOMIC_SEQ_CST);
    handoff_barrier();
    return 0;
}

int BoundedPipe::consume(PacketBuffer& out)
{
    if (m_ring.empty()) {
        if (m_idle_count >= 0) {
            if (m_idle_count == 0) {
                m_consumer->enable_notify(m_consume_notify, true);
                handoff_barrier();
            }
            --m_idle_count;
            notify_poller();
        }
        return EC_WOULDBLOCK;
    }
    if (m_idle_count < 0)
        m_consumer->enable_notify(m_consume_notify, false);
    m_idle_count = PIPE_IDLE_LOOKS;
    Packet& front = m_ring.front();
    if (front.length() > out.tail_size())
        return EC_INSUF_BUFFER;
    out.append(front.data(), front.length());
    m_allocator.deallocate(front.data(), front.length());
    m_ring.pop_front();
    handoff_barrier();
    if (__atomic_load_n(&m_producer_blocked, __ATOMIC_SEQ_CST) &&
        m_ring.size() < static_cast<unsigned long>(m_ring.capacity() / 2)) {
        __atomic_store_n(&m_producer_blocked, false, __ATOMIC_SEQ_CST);
        m_producer->request_notify(m_produce_notify);
    }
    return EC_NONE;
}

void BoundedPipe::notify_poller()
{
    if (m_list_node.empty())
        m_poller->notify(m_list_node);
}

void BoundedPipe::on_consume()
{
    notify_poller();
}

void BoundedPipe::on_produce()
{
    m_blocked_tasks.emit_all();
}

void BoundedPipe::on_timer()
{
    unsigned long read_pos = m_ring.read_pos();
    if (read_pos != m_timer_read_pos) {
        m_timer_read_pos = read_pos;
        m_blocked_tasks.emit_all();
    }
    m_timer->schedule(&m_timer_task);
}

int BoundedPipe::close()
{
    // Each call closes one end: it clears the lowest bit still set.
    long ends;
    long left;
    do {
        ends = __atomic_load_n(&m_open_ends, __ATOMIC_ACQUIRE);
        if (ends == 0)
            return EC_CLOSED;
        left = ends & (ends - 1);
    } while (!AtomValue::compare_exchange(m_open_ends, left, ends));
    if (left == 0)
        delete this;
    return EC_NONE;
}

long BoundedPipe::seek(long offset, int whence)
{
    throw std::logic_error("The method or operation is not implemented.");
}

long BoundedPipe::tell()
{
    return static_cast<long>(m_ring.write_pos());
}

#include "caller/WaiterReads.h"

#include "talvex05u/platform/Event.h"

namespace talvex {

WaiterReads::WaiterReads() : m_attention(CreateEvent(true, false)), m_withdrawn(CreateEvent(true, true)) {}

WaiterReads::~WaiterReads() {
    CloseEvent(m_attention);
    CloseEvent(m_withdrawn);
}

int WaiterReads::SocketToWatch(int fd) {
    if (m_attention == nullptr) return fd;   // nothing could call it back: never stand aside
    // Stand aside first, then look for readers: a reader that stops either is still
    // counted here, or finds the dispatcher standing aside and wakes it.
    m_dispatcherStandsAside.store(true);
    if (m_readers.load() > 0) return -1;
    m_dispatcherStandsAside.store(false);
    return fd;
}

void WaiterReads::ClearAttention() { ResetEvent(m_attention); }

PendingDatagram WaiterReads::TakeForDispatcher(int fd, std::int32_t* words, CSockAddr& sender) {
    std::scoped_lock lock(m_readLock);
    const PendingDatagram taken = TakePendingDatagram(fd, words, kDatagramBytes, sender);
    if (taken.outcome != PendingDatagram::Outcome::kNone) m_dispatcherHandling = true;
    return taken;
}

void WaiterReads::DoneHandling() {
    std::scoped_lock lock(m_readLock);
    m_dispatcherHandling = false;
}

void WaiterReads::Withdraw() {
    std::unique_lock lock(m_readLock);
    m_fd = -1;
    SetEvent(m_withdrawn);
    m_pollersLeft.wait(lock, [this] { return m_polling == 0; });
}

void WaiterReads::Offer(int fd) {
    std::scoped_lock lock(m_readLock);
    m_fd = fd;
    ResetEvent(m_withdrawn);
}

void WaiterReads::LeaveReaders() {
    if (m_readers.fetch_sub(1) == 1 && m_dispatcherStandsAside.exchange(false)) SetEvent(m_attention);
}

ReadingTurn::ReadingTurn(WaiterReads& reads) : m_reads(reads) { m_reads.m_readers.fetch_add(1); }

int ReadingTurn::BeginPoll() {
    if (!m_reading) return -1;
    int fd = -1;
    {
        std::scoped_lock lock(m_reads.m_readLock);
        // Without a withdraw event nothing could end the poll before a close.
        if (m_reads.m_withdrawn != nullptr && m_reads.m_fd >= 0) {
            fd = m_reads.m_fd;
            ++m_reads.m_polling;
            m_polling = true;
        }
    }
    if (fd < 0) Stop();
    return fd;
}

void ReadingTurn::EndPoll() {
    if (!m_polling) return;
    std::scoped_lock lock(m_reads.m_readLock);
    m_polling = false;
    if (--m_reads.m_polling == 0) m_reads.m_pollersLeft.notify_all();
}

int ReadingTurn::TakeHead(WaiterReads::TakeDecision decide, void* context, std::int32_t* words, CSockAddr& sender) {
    if (!m_reading) return 0;
    {
        std::scoped_lock lock(m_reads.m_readLock);
        if (m_reads.m_fd >= 0) {
            const PendingDatagram head = PeekPendingDatagram(m_reads.m_fd, words, WaiterReads::kDatagramBytes, sender);
            if (head.outcome == PendingDatagram::Outcome::kNone) return 0;   // another reader took it
            if (head.outcome == PendingDatagram::Outcome::kReceived && !m_reads.m_dispatcherHandling &&
                decide(context, words, head.size, sender)) {
                DropPendingDatagram(m_reads.m_fd);
                return head.size;
            }
        }
    }
    // Not ours to take (or the dispatcher is behind): it stays for the dispatcher, and
    // this waiter leaves the socket to it rather than wake on the same datagram again.
    Stop();
    return 0;
}

void ReadingTurn::Stop() {
    EndPoll();
    if (!m_reading) return;
    m_reading = false;
    m_reads.LeaveReaders();
}

}  // namespace talvex

#include "caller/WaiterReads.h"

#include "caller/CounterCells.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/platform/System.h"
#include "platform/EventWait.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <cstring>
#include <utility>

namespace talvex {

WaiterReads::WaiterReads(CounterCells& counters)
    : m_attention(CreateEvent(true, false)),
      m_counters(counters) {}

WaiterReads::~WaiterReads() {
    CloseEvent(m_attention);
}

WaiterReads::Watch WaiterReads::SocketToWatch(int fd) {
    if (m_attention == nullptr) return {fd, -1};   // nothing could call it back: never stand aside
    // Stand aside first, then look for readers: a reader that stops either is still
    // counted here, or finds the dispatcher standing aside.
    m_dispatcherStandsAside.store(true);
    if (m_readers.load() > 0) {
        // Readers that came and went since the last look: calls one after another, look
        // again soon. The same ones all along: a long wait, look less and less often
        // (a reader that leaves then wakes the dispatcher itself).
        const std::uint64_t leaves = m_leaves.load();
        int asideMs = kQuickLookMs;
        if (leaves == m_leavesSeen && m_lookedAside) asideMs = std::min(2 * m_asideMs.load(), kLongestLookMs);
        m_leavesSeen = leaves;
        m_lookedAside = true;
        m_asideMs.store(asideMs);
        return {-1, asideMs};
    }
    m_dispatcherStandsAside.store(false);
    m_lookedAside = false;
    m_asideMs.store(kQuickLookMs);
    return {fd, -1};
}

void WaiterReads::ClearAttention() { ResetEvent(m_attention); }

void WaiterReads::CallDispatcher() {
    m_stopWanted.store(true);
    SetEvent(m_attention);
    WakeBlockedDispatcher();
}

WaiterReads::Taken WaiterReads::TakeFromInbox(std::int32_t* words, CSockAddr& sender) {
    Taken taken;
    if (m_inboxCount.load() == 0) return taken;
    std::scoped_lock lock(m_readLock);
    if (m_inboxCount == 0) return taken;
    const Slot& slot = (*m_inbox)[m_inboxHead];
    m_inboxHead = (m_inboxHead + 1) % kInboxSlots;
    --m_inboxCount;
    sender = slot.sender;
    if (slot.size == 0) {
        taken.outcome = PendingDatagram::Outcome::kFailed;
        taken.error = slot.error;
    } else {
        std::memcpy(words, slot.words, static_cast<std::size_t>(slot.size));
        taken.outcome = PendingDatagram::Outcome::kReceived;
        taken.size = slot.size;
    }
    return taken;
}

int WaiterReads::TakeBatchForDispatcher(int fd, DatagramBatch& batch, Router mark, void* context) {
    std::scoped_lock lock(m_readLock);
    if (m_inboxCount > 0) return kInboxFirst;
    if (m_readerBlocks) return 0;
    const int count = batch.Receive(fd);
    MarkBatch(batch, count, mark, context);
    return count;
}

bool WaiterReads::QuietForBlocking() {
    if (m_wakeFd.load() < 0 || m_readers.load() > 0) return false;
    const std::uint64_t leaves = m_leaves.load();
    const std::uint32_t now = GetTickCount();
    if (leaves != m_leavesAtQuietStart) {
        m_leavesAtQuietStart = leaves;
        m_quietSince = now;
        return false;
    }
    return now - m_quietSince >= kQuietBeforeBlockingMs;
}

int WaiterReads::TakeBatchBlocking(int fd, DatagramBatch& batch, Router mark, void* context) {
    // Blocking first, then look for readers: a reader that comes either is seen here or
    // sees the dispatcher blocking and wakes it.
    // The same for a stop; and what readers left in the inbox is taken first.
    m_dispatcherBlocks.store(true);
    if (m_readers.load() > 0 || m_stopWanted.load() || m_inboxCount.load() > 0 || IsEventSet(m_attention)) {
        m_dispatcherBlocks.store(false);
        return kNotNow;
    }
    std::scoped_lock lock(m_readLock);
    if (m_readerBlocks || !SetReceiveTimeout(fd, 0)) {
        m_dispatcherBlocks.store(false);
        return kNotNow;
    }
    const int count = batch.Receive(fd, true);
    m_dispatcherBlocks.store(false);
    MarkBatch(batch, count, mark, context);
    return count;
}

bool WaiterReads::SetReceiveTimeout(int fd, int milliseconds) {
    if (milliseconds == m_receiveTimeoutMs) return true;
    const timeval limit{milliseconds / 1000, static_cast<suseconds_t>(milliseconds % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
    m_receiveTimeoutMs = milliseconds;
    return true;
}

void WaiterReads::RouteBatch(DatagramBatch& batch, int count, Router route, void* context) {
    for (int i = 0; i < count; ++i) {
        DatagramBatch::Entry& entry = batch[i];
        if (entry.outcome == PendingDatagram::Outcome::kFailed) {
            // The dispatcher decides what a failed receive means for the socket.
            PushToInbox(entry.words, 0, entry.error, entry.sender);
            entry.outcome = PendingDatagram::Outcome::kNone;
            continue;
        }
        if (IsWakeUp(entry)) {
            entry.outcome = PendingDatagram::Outcome::kNone;   // a wake-up the dispatcher did not take
            continue;
        }
        m_counters.DatagramIn(entry.size);
        const int where = route(context, entry.words, entry.size, entry.sender);
        if (where == kForDispatcher) PushToInbox(entry.words, entry.size, 0, entry.sender);
        if (where != kHandleHere) entry.outcome = PendingDatagram::Outcome::kNone;
    }
}

void WaiterReads::MarkBatch(DatagramBatch& batch, int count, Router mark, void* context) {
    for (int i = 0; i < count; ++i) {
        DatagramBatch::Entry& entry = batch[i];
        if (entry.outcome != PendingDatagram::Outcome::kReceived) continue;
        if (IsWakeUp(entry)) {
            entry.outcome = PendingDatagram::Outcome::kNone;
            continue;
        }
        m_counters.DatagramIn(entry.size);
        if (mark(context, entry.words, entry.size, entry.sender) == kDrop) entry.outcome = PendingDatagram::Outcome::kNone;
    }
}

bool WaiterReads::IsWakeUp(const DatagramBatch::Entry& entry) const {
    return entry.size == sizeof kWakeUp && std::memcmp(entry.words, kWakeUp.data(), sizeof kWakeUp) == 0 &&
           entry.sender.sin_port == m_wakeTo.sin_port && entry.sender.sin_addr.s_addr == m_wakeTo.sin_addr.s_addr;
}

void WaiterReads::WakeBlockedDispatcher() {
    const int fd = m_wakeFd.load();
    if (fd < 0 || !m_dispatcherBlocks.load()) return;
    ::sendto(fd, kWakeUp.data(), sizeof kWakeUp, MSG_DONTWAIT, static_cast<const sockaddr*>(m_wakeTo),
             sizeof(sockaddr_in));
}

void WaiterReads::PushToInbox(const std::int32_t* words, int size, std::int32_t error, const CSockAddr& sender) {
    if (m_inboxCount == kInboxSlots) {
        m_counters.Add(Counter::kInboxOverflows);
        return;
    }
    if (!m_inbox) m_inbox = std::make_unique<std::array<Slot, kInboxSlots>>();
    Slot& slot = (*m_inbox)[(m_inboxHead + m_inboxCount) % kInboxSlots];
    slot.size = size;
    slot.error = error;
    slot.sender = sender;
    if (size > 0) std::memcpy(slot.words, words, static_cast<std::size_t>(size));
    ++m_inboxCount;
    SetEvent(m_attention);
}

void WaiterReads::Withdraw() {
    std::unique_lock lock(m_readLock);
    m_fd = -1;
    m_wakeFd.store(-1);
    for (ReadingTurn* holder : m_placeHolders) {
        if (holder != nullptr) SetEvent(holder->m_waker);
    }
    m_pollersLeft.wait(lock, [this] { return m_polling == 0; });
}

void WaiterReads::Offer(int fd, const CSockAddr& own) {
    std::scoped_lock lock(m_readLock);
    m_fd = fd;
    m_stopWanted.store(false);
    m_wakeTo = own;
    m_receiveTimeoutMs = 0;   // a new socket waits without limit
    if (m_wakeTo.sin_addr.s_addr == htonl(INADDR_ANY)) m_wakeTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_wakeFd.store(m_attention != nullptr ? fd : -1);
}

void WaiterReads::LeaveReaders(bool handBackAtOnce) {
    if (m_readers.fetch_sub(1) != 1) return;
    m_leaves.fetch_add(1);
    // A dispatcher that sleeps only briefly looks again by itself after a call; otherwise
    // it is woken now.
    const bool wake = handBackAtOnce || m_asideMs.load() > kQuickLookMs;
    if (wake && m_dispatcherStandsAside.exchange(false)) SetEvent(m_attention);
}

ReadingTurn::ReadingTurn(WaiterReads& reads, Leaving leaving)
    : m_reads(reads), m_handBackAtOnce(leaving == Leaving::kHandBack) {
    m_reads.m_readers.fetch_add(1);
    m_reads.WakeBlockedDispatcher();
}

int ReadingTurn::BeginPoll(void* waker) {
    if (!m_reading) return -1;
    int fd = -1;
    {
        std::scoped_lock lock(m_reads.m_readLock);
        // Without a waker nothing could end the poll before a close.
        if (waker == nullptr || m_reads.m_fd < 0) {
            fd = -2;
        } else {
            m_waker = waker;
            if (m_place < 0 && !m_inLine) TakeFreePlace();
            if (m_place >= 0) {
                fd = m_reads.m_fd;
                ++m_reads.m_polling;
                m_polling = true;
            } else if (!m_inLine) {
                JoinLine();
            }
        }
    }
    if (fd == -2) Stop();
    return fd < 0 ? -1 : fd;
}

void ReadingTurn::EndPoll() {
    if (!m_polling) return;
    std::scoped_lock lock(m_reads.m_readLock);
    FinishPoll();
}

void ReadingTurn::JoinLine() {
    m_inLine = true;
    m_nextInLine = nullptr;
    if (m_reads.m_lineTail != nullptr) {
        m_reads.m_lineTail->m_nextInLine = this;
    } else {
        m_reads.m_lineHead = this;
    }
    m_reads.m_lineTail = this;
}

void ReadingTurn::LeaveLine() {
    ReadingTurn* before = nullptr;
    for (ReadingTurn* turn = m_reads.m_lineHead; turn != nullptr; before = turn, turn = turn->m_nextInLine) {
        if (turn != this) continue;
        (before != nullptr ? before->m_nextInLine : m_reads.m_lineHead) = m_nextInLine;
        if (m_reads.m_lineTail == this) m_reads.m_lineTail = before;
        break;
    }
    m_inLine = false;
    m_nextInLine = nullptr;
}

void ReadingTurn::TakeFreePlace() {
    for (int place = 0; place < WaiterReads::kMaxPollers; ++place) {
        if (m_reads.m_placeHeld[static_cast<std::size_t>(place)]) continue;
        m_reads.m_placeHeld[static_cast<std::size_t>(place)] = true;
        m_reads.m_placeHolders[static_cast<std::size_t>(place)] = this;
        m_place = place;
        return;
    }
}

void ReadingTurn::HandPlaceOn() {
    // The place goes to the first in line, woken under the lock: its waker is valid
    // until it has left the line or handed the place on, both under this lock.
    const int place = std::exchange(m_place, -1);
    ReadingTurn* next = m_reads.m_lineHead;
    m_reads.m_placeHolders[static_cast<std::size_t>(place)] = next;
    if (next == nullptr) {
        m_reads.m_placeHeld[static_cast<std::size_t>(place)] = false;
        return;
    }
    next->LeaveLine();
    next->m_place = place;
    SetEvent(next->m_waker);
}

DatagramBatch& ReadingTurn::PlaceBatch() {
    std::unique_ptr<DatagramBatch>& batch = m_reads.m_placeBatches[static_cast<std::size_t>(m_place)];
    if (!batch) batch = std::make_unique<DatagramBatch>();
    return *batch;
}

void ReadingTurn::FinishPoll() {
    if (!m_polling) return;
    m_polling = false;
    if (--m_reads.m_polling == 0) m_reads.m_pollersLeft.notify_all();
}

DatagramBatch* ReadingTurn::Take(WaiterReads::Router route, void* context) {
    if (!m_reading || m_place < 0) return nullptr;
    std::scoped_lock lock(m_reads.m_readLock);
    FinishPoll();
    if (m_reads.m_fd < 0) return nullptr;
    DatagramBatch& batch = PlaceBatch();
    m_reads.RouteBatch(batch, batch.Receive(m_reads.m_fd), route, context);
    return &batch;
}

DatagramBatch* ReadingTurn::TakeIfAny(WaiterReads::Router route, void* context) {
    if (!m_reading || m_place < 0 || !m_polling) return nullptr;
    std::scoped_lock lock(m_reads.m_readLock);
    if (m_reads.m_fd < 0) return nullptr;
    DatagramBatch& batch = PlaceBatch();
    const int count = batch.Receive(m_reads.m_fd);
    if (count == 0) return nullptr;
    FinishPoll();
    m_reads.RouteBatch(batch, count, route, context);
    return &batch;
}

namespace {
// The kernel keeps a socket's receive time-out in its timer wheel, which lets it end
// late by a tick (4 or 10 ms) and up to an eighth of its length more. So a wait sleeps
// in the receive until well before its end and waits what is left with poll, which
// keeps time to the millisecond; a short wait polls from the start.
constexpr std::uint32_t kTickMarginMs = 20;
constexpr std::uint32_t kShortestSleepMs = 100;

bool SleepsInReceive(std::uint32_t milliseconds) {
    return milliseconds == kInfinite || milliseconds > kShortestSleepMs;
}

// The socket's receive time-out for such a wait (0: none).
int ReceiveTimeoutOf(std::uint32_t milliseconds) {
    constexpr std::uint32_t kLongest = 24u * 3600u * 1000u;   // longer waits wake once a day and wait again
    if (milliseconds == kInfinite) return 0;
    return static_cast<int>(std::min(milliseconds - milliseconds / 8 - kTickMarginMs, kLongest));
}
}  // namespace

DatagramBatch* ReadingTurn::TakeWaiting(void* waker, std::uint32_t milliseconds, WaiterReads::Router route,
                                        void* context) {
    if (!m_reading || m_place < 0 || !m_polling) return nullptr;
    int fd = -1;
    bool timed = false;
    DatagramBatch* batch = nullptr;
    {
        std::scoped_lock lock(m_reads.m_readLock);
        if (m_reads.m_fd < 0) {
            FinishPoll();
            return nullptr;
        }
        fd = m_reads.m_fd;
        batch = &PlaceBatch();
        timed = SleepsInReceive(milliseconds) && m_reads.SetReceiveTimeout(fd, ReceiveTimeoutOf(milliseconds));
        m_linkFd = fd;
        m_linkTo = m_reads.m_wakeTo;
        m_reads.m_readerBlocks = timed;
    }
    m_link = WakeLink{&ReadingTurn::WakeBlockedReceive, this};
    const LinkResult linked = timed ? LinkWakeToEvent(waker, &m_link) : LinkResult::kNotLinkable;
    int count = 0;
    bool readable = false;   // by a poll: taken below, under the read lock as Take does
    if (linked == LinkResult::kLinked) {
        count = batch->Receive(fd, true);
        UnlinkWake(waker);
    } else if (linked == LinkResult::kNotLinkable) {
        // The caller spun on the socket already (ReadWhileWaiting).
        readable = WaitForEventsOrReadable(&waker, 1, fd, milliseconds, false) == kWaitObject0 + 1;
    }
    std::scoped_lock lock(m_reads.m_readLock);
    m_reads.m_readerBlocks = false;
    FinishPoll();
    if (m_reads.m_fd < 0) return nullptr;
    if (readable) {
        count = batch->Receive(fd);
    } else if (linked != LinkResult::kLinked) {
        return nullptr;   // woken or out of time before any receive: the batch holds what an earlier one took
    }
    m_reads.RouteBatch(*batch, count, route, context);
    return batch;
}

void ReadingTurn::WakeBlockedReceive(void* turn) {
    const auto* self = static_cast<const ReadingTurn*>(turn);
    ::sendto(self->m_linkFd, WaiterReads::kWakeUp.data(), sizeof WaiterReads::kWakeUp, MSG_DONTWAIT,
             static_cast<const sockaddr*>(self->m_linkTo), sizeof(sockaddr_in));
}

void ReadingTurn::Stop() {
    EndPoll();
    if (!m_reading) return;
    m_reading = false;
    {
        std::scoped_lock lock(m_reads.m_readLock);
        if (m_inLine) LeaveLine();
        if (m_place >= 0) HandPlaceOn();
    }
    m_reads.LeaveReaders(m_handBackAtOnce);
}

}  // namespace talvex

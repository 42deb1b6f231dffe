// Per-thread message queues: each queue is a Unix datagram socket named from the
// owner's kernel thread id, in a directory of the effective user that only it can
// enter (/dev/shm/talvex05u-mq.<euid>, mode 0700), so only that user's processes can
// post to it. The directory is checked before a queue is bound in it and before a
// post goes into it: one that another user made first is refused (reported to the
// diagnostic sink), so a squatted name fails the queue and the posts instead of
// diverting them. The receiver also reads the sender's credentials (SO_PASSCRED) and
// drops a datagram of another user. Messages skipped by a ranged GetMessage wait in
// a thread-local list, in arrival order.
#include "talvex05u/platform/MessageQueue.h"

#include "MessageQueueDetail.h"
#include "OwnObject.h"
#include "OwnedDescriptor.h"
#include "talvex05u/platform/Thread.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace talvex {

namespace {

using detail::OwnedDescriptor;

// One message on the socket: magic, message number, wParam, lParam; native byte
// order (both ends run on this computer).
constexpr std::uint32_t kRecordMagic = 0x5654514Du;   // "MQTV"
constexpr std::size_t kRecordSize = 24;
// Messages kept aside by ranged retrieval; beyond this, further skipped ones are dropped.
constexpr std::size_t kMaxPendingMessages = 10000;
// Malformed datagrams dropped per look at the queue before giving up for now.
constexpr int kMaxDiscardsPerCheck = 1024;

struct Record {
    unsigned char bytes[kRecordSize];
};

Record Encode(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam) {
    Record record{};
    std::memcpy(record.bytes + 0, &kRecordMagic, 4);
    std::memcpy(record.bytes + 4, &message, 4);
    std::memcpy(record.bytes + 8, &wParam, 8);
    std::memcpy(record.bytes + 16, &lParam, 8);
    return record;
}

bool Decode(const unsigned char* bytes, ssize_t length, ThreadMessage* out) {
    std::uint32_t magic = 0;
    if (length != static_cast<ssize_t>(kRecordSize)) return false;
    std::memcpy(&magic, bytes, 4);
    if (magic != kRecordMagic) return false;
    std::memcpy(&out->message, bytes + 4, 4);
    std::memcpy(&out->wParam, bytes + 8, 8);
    std::memcpy(&out->lParam, bytes + 16, 8);
    return true;
}

bool InRange(std::uint32_t message, std::uint32_t first, std::uint32_t last) {
    return (first == 0 && last == 0) || (message >= first && message <= last);
}

// The effective user's queue directory.
const std::string& QueueDirectory() {
    static const std::string directory = "/dev/shm/talvex05u-mq." + EffectiveUserTag();
    return directory;
}

// The socket path of thread `threadId`'s queue.
std::string QueuePath(std::uint32_t threadId) { return QueueDirectory() + "/" + std::to_string(threadId); }

socklen_t QueueAddress(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);   // fits: at most 43 bytes
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

// True when the queue directory is ours (made now if missing). Once found ours it
// stays ours: nobody else can remove or rename an entry of /dev/shm (sticky).
bool OwnQueueDirectory(bool create) {
    static std::atomic<bool> known{false};
    if (known.load(std::memory_order_acquire)) return true;
    std::string why;
    const bool own = create ? EnsureOwnPrivateDirectory(QueueDirectory(), &why) : IsOwnPrivateDirectory(QueueDirectory(), &why);
    if (own) known.store(true, std::memory_order_release);
    else if (create || errno != ENOENT) ReportRefusedObject("message queue directory", QueueDirectory(), why);
    return own;
}

// True when the datagram's control data carries the effective user's credentials.
bool FromOwnUser(msghdr* header) {
    for (cmsghdr* control = CMSG_FIRSTHDR(header); control != nullptr; control = CMSG_NXTHDR(header, control)) {
        if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != SCM_CREDENTIALS) continue;
        ucred sender{};
        std::memcpy(&sender, CMSG_DATA(control), sizeof sender);
        return sender.uid == ::geteuid();
    }
    return false;
}

// Tells whether this thread's queue object is still alive during thread exit
// (a trivially destructible flag, safe to read after the queue's destructor).
thread_local bool t_queueDestroyed = false;

// The calling thread's queue: socket, owner id (detects a copy inherited across
// fork) and the messages kept aside.
class ThreadQueue {
public:
    ~ThreadQueue() {
        Close();
        t_queueDestroyed = true;
    }

    bool Ensure() {
        const std::uint32_t self = GetCurrentThreadId();
        if (m_socket.Valid() && m_owner == self) return true;
        Close();   // none yet, or inherited from the parent process's thread
        if (!OwnQueueDirectory(true)) return false;
        OwnedDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket.Valid()) return false;
        const int passCredentials = 1;
        if (::setsockopt(socket.Get(), SOL_SOCKET, SO_PASSCRED, &passCredentials, sizeof passCredentials) != 0) return false;
        const std::string path = QueuePath(self);
        sockaddr_un address;
        const socklen_t length = QueueAddress(path, &address);
        // A name left there belongs to a thread of ours that has ended: thread ids are
        // unique among live threads, and only our processes can make names here.
        ::unlink(path.c_str());
        if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
        m_socket = std::move(socket);
        m_owner = self;
        return true;
    }

    // Descriptor of a queue owned by the calling thread, or -1.
    int Descriptor() const { return (m_socket.Valid() && m_owner == GetCurrentThreadId()) ? m_socket.Get() : -1; }

    // Removes the name only in the thread that bound it, not in a copy of the queue
    // inherited across fork, whose name still belongs to the parent's thread.
    void Close() {
        if (m_socket.Valid() && m_owner == GetCurrentThreadId()) ::unlink(QueuePath(m_owner).c_str());
        m_socket.Reset();
        m_owner = 0;
        m_pending.clear();
    }

    bool TakePending(ThreadMessage* out, std::uint32_t first, std::uint32_t last) {
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (InRange(it->message, first, last)) {
                *out = *it;
                m_pending.erase(it);
                return true;
            }
        }
        return false;
    }

    bool HasPending() const { return !m_pending.empty(); }

    void KeepAside(const ThreadMessage& message) {
        if (m_pending.size() < kMaxPendingMessages) m_pending.push_back(message);
    }

    // Reads one datagram without waiting. 1: a message; 0: malformed or from another
    // user, dropped; -1: nothing there (or the socket failed).
    int ReceiveOne(ThreadMessage* out, int flags = 0) {
        unsigned char buffer[kRecordSize * 2];
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        ssize_t got;
        do {
            header = msghdr{};
            header.msg_iov = &part;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            got = ::recvmsg(m_socket.Get(), &header, MSG_DONTWAIT | MSG_TRUNC | flags);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return -1;
        if (FromOwnUser(&header) && Decode(buffer, got, out)) return 1;
        if (flags & MSG_PEEK) (void)::recv(m_socket.Get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        return 0;
    }

    // Blocks until the socket has a datagram; false when the socket failed.
    bool WaitReadable() const {
        pollfd fd{m_socket.Get(), POLLIN, 0};
        for (;;) {
            const int ready = ::poll(&fd, 1, -1);
            if (ready > 0) return (fd.revents & (POLLERR | POLLNVAL)) == 0;
            if (ready < 0 && errno != EINTR) return false;
        }
    }

private:
    OwnedDescriptor m_socket;
    std::uint32_t m_owner = 0;
    std::deque<ThreadMessage> m_pending;
};

ThreadQueue* CurrentQueue() {
    if (t_queueDestroyed) return nullptr;
    thread_local ThreadQueue queue;
    return &queue;
}

// The process-wide unbound socket posts go out through.
int SenderSocket() {
    static const OwnedDescriptor sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return sender.Get();
}

// Next message in [first, last]: from the kept-aside list, then from the socket,
// keeping the others aside. Waits only when `wait` is set.
bool RetrieveMessage(ThreadMessage* out, std::uint32_t first, std::uint32_t last, bool wait) {
    if (out == nullptr) return false;
    ThreadQueue* queue = CurrentQueue();
    if (queue == nullptr || !queue->Ensure()) return false;
    if (queue->TakePending(out, first, last)) return true;
    for (;;) {
        ThreadMessage message;
        const int result = queue->ReceiveOne(&message);
        if (result > 0) {
            if (InRange(message.message, first, last)) {
                *out = message;
                return true;
            }
            queue->KeepAside(message);
        } else if (result < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (!wait || !queue->WaitReadable()) return false;
        }
    }
}

}  // namespace

bool EnsureMessageQueue() {
    ThreadQueue* queue = CurrentQueue();
    return queue != nullptr && queue->Ensure();
}

bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uint64_t wParam, std::int64_t lParam) {
    const int sender = SenderSocket();
    if (threadId == 0 || sender < 0 || !OwnQueueDirectory(false)) return false;
    sockaddr_un address;
    const socklen_t length = QueueAddress(QueuePath(threadId), &address);
    const Record record = Encode(message, wParam, lParam);
    ssize_t sent;
    do {
        sent = ::sendto(sender, record.bytes, sizeof record.bytes, MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof record.bytes);
}

bool GetMessage(ThreadMessage* out, std::uint32_t first, std::uint32_t last) {
    return RetrieveMessage(out, first, last, true);
}

bool PeekMessage(ThreadMessage* out, std::uint32_t first, std::uint32_t last) {
    return RetrieveMessage(out, first, last, false);
}

void CloseMessageQueue() {
    if (ThreadQueue* queue = CurrentQueue()) queue->Close();
}

namespace detail {

int CurrentMessageQueueDescriptor() {
    ThreadQueue* queue = CurrentQueue();
    return queue != nullptr ? queue->Descriptor() : -1;
}

bool HasQueuedMessage() {
    ThreadQueue* queue = CurrentQueue();
    if (queue == nullptr || queue->Descriptor() < 0) return false;
    if (queue->HasPending()) return true;
    for (int i = 0; i < kMaxDiscardsPerCheck; ++i) {
        ThreadMessage message;
        const int result = queue->ReceiveOne(&message, MSG_PEEK);
        if (result != 0) return result > 0;
    }
    return false;
}

}  // namespace detail
}  // namespace talvex

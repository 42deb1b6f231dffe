#pragma once
// Per-thread message queues that any process of the computer can post to by
// kernel thread id. A thread's queue exists from the first call of
// EnsureMessageQueue (or GetMessage/PeekMessage) until the thread ends;
// a post to a thread without a queue fails.
#include <cstdint>

namespace talvex {

struct ThreadMessage {
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
};

// Creates the calling thread's queue if it has none. False when it cannot be made.
bool EnsureMessageQueue();
// Posts a message to thread `threadId` of any process; false when the thread has no queue.
bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uint64_t wParam, std::int64_t lParam);
// Waits for the next message of the calling thread whose number lies in [first, last]
// (0, 0 = any), removes it and stores it. Messages outside the range stay queued.
// Returns false when the queue cannot be read.
bool GetMessage(ThreadMessage* out, std::uint32_t first, std::uint32_t last);
// Like GetMessage but without waiting: false when no message is there.
bool PeekMessage(ThreadMessage* out, std::uint32_t first, std::uint32_t last);
// Closes the calling thread's queue (also done automatically at thread exit).
void CloseMessageQueue();

}  // namespace talvex

#pragma once
// A short spin before a wait on a socket that would sleep: the thread looks, without
// sleeping, for a few microseconds (SocketSpin for any look, SpinningPoll for a poll). On a machine with
// a second processor the other side of an exchange often answers within that time,
// and a thread that did not go to sleep needs no wake-up (which costs 5 to 100 µs on a
// virtual machine). It spins only where it pays: while the thread may run on two or
// more processors, while fewer threads of the process spin than it has processors
// beside the one, and while this thread's recent spins were answered (one that was not
// makes the thread skip spinning for a growing number of waits).
#include <chrono>
#include <poll.h>

namespace talvex {

// One spin of the calling thread, for a look that does not block (a poll, a receive
// that does not wait): while Again() is true the thread looks once more, yielding the
// processor between looks; Answered() says the look found something. Again() is false
// at once where the thread does not spin now.
class SocketSpin {
public:
    SocketSpin();
    ~SocketSpin();
    SocketSpin(const SocketSpin&) = delete;
    SocketSpin& operator=(const SocketSpin&) = delete;

    bool Again();
    void Answered() { m_answered = true; }

private:
    bool m_spinning = false;
    bool m_looked = false;
    bool m_answered = false;
    std::chrono::steady_clock::time_point m_end;
};

// As ::poll(fds, count, timeoutMs), after a spin of at most the process's socket spin
// time (SetSocketSpinMicroseconds) when the wait may sleep.
int SpinningPoll(pollfd* fds, nfds_t count, int timeoutMs);

}  // namespace talvex

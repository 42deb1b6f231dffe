// Second process for the mem and shared-memory channel tests.
// Usage: ipc_peer <command> [arguments]; every result goes to stdout as one line.
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"
#include "talvex05u/platform/Thread.h"
#include "talvex05u/shmem/MemPrimitives.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

int Say(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    return 0;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

template <typename Condition>
void WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// Procedures of the channel role (the test uses the same numbers): 1 echoes the data
// words, 2 n answers n words 1, 4, 7, ..., 3 answers late (AnswerLate), 4 answers the
// call's type and reference number, 99 answers and ends the peer.
class AnsweringSide : public CRP_CallerEx {
public:
    using CRP_CallerEx::CRP_CallerEx;
    std::atomic<bool> m_quit{false};
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        const std::int32_t length = block->m_nLength, type = block->m_nType;
        const std::int32_t count = block->m_nProcedure == 2 ? block->GetLongData() : 0;
        if (block->m_nProcedure == 3) return AnswerLate(block);
        block->ResetForReturn();
        if (block->m_nProcedure == 1) block->m_nLength = length;   // the data words are still in the buffer
        for (std::int32_t i = 0; i < count; ++i) block->AppendLongData(3 * i + 1);
        if (block->m_nProcedure == 4) block->AppendLongData(type), block->AppendLongData(block->m_nReferenceNumber);
        SendReturn(block);
        if (block->m_nProcedure == 99) m_quit = true;
    }

private:
    std::int32_t SharedWord(std::int32_t* region, int index) {
        return std::atomic_ref<std::int32_t>(region[index]).load(std::memory_order_acquire);
    }
    // Holds the answer until the caller has given up and written its next call (the
    // call region no longer holds procedure 3), then answers the words 0x1A7E, 0x1A7E,
    // so that the late answer lands while the next call waits. The telegram thread is
    // then held until the caller has set the late answer back to pending (its state
    // word is no longer 2) or 500 ms passed, so that the next call cannot miss it by
    // being answered first; says "late set aside" or "late left".
    void AnswerLate(CUdpDataBlockEx* block) {
        WaitFor([&] { return SharedWord(m_pSharedCall, 3) != 3; }, std::chrono::seconds(10));
        block->ResetForReturn();
        block->AppendLongData(0x1A7E), block->AppendLongData(0x1A7E);
        SendReturn(block);
        const auto setAside = [&] { return SharedWord(m_pSharedReturn, 0) != 2; };
        WaitFor(setAside, std::chrono::milliseconds(500));
        Say(setAside() ? "late set aside" : "late left");
    }
};

// shm <base> <size> <key> <owner 0|1> <port>: "init 0|1", "tid <telegram thread>", serves, "closed".
int Channel(char** argv) {
    auto side = std::make_unique<AnsweringSide>(static_cast<unsigned short>(std::atoi(argv[6])));
    side->EnableSharedMemory();   // before the telegram thread starts, so that its SendReturn takes the channel
    const bool opened = side->InitSharedMemory(CString(Widen(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]),
                                               std::atoi(argv[5]) != 0);
    Say(opened ? "init 1" : "init 0");
    if (opened) {
        WaitFor([&] { return talvex::IsEventSet(side->m_hTelegramSignal); }, std::chrono::seconds(10));
        Say("tid " + std::to_string(side->m_pTelegramThread->m_nThreadID));
        WaitFor([&] { return side->m_quit.load(); }, std::chrono::seconds(60));
    }
    side->UnInitSharedMemory();
    return opened ? Say("closed") : 0;
}

// What a second user tries against another user's local objects (run as that user):
//   open <path>: opens read/write and writes a word: "opened" or "denied"
//   squat <path> <ms>: makes the file first, 0666, and holds an exclusive flock on it
//   link <target> <path>: plants a symbolic link to target at path
//   post <tid> <message>: posts to a thread's queue: "posted" or "not posted"
//   queue: makes its own queue and posts to it: "queue 0|1 post 0|1"
int Attack(const std::string& command, char** argv) {
    if (command == "open") {
        const int fd = ::open(argv[2], O_RDWR | O_CLOEXEC), word = 1;
        return Say(fd >= 0 && ::write(fd, &word, sizeof word) == sizeof word ? "opened" : "denied");
    }
    if (command == "squat") {
        const int fd = ::open(argv[2], O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || ::fchmod(fd, 0666) != 0 || ::ftruncate(fd, 4096) != 0 || ::flock(fd, LOCK_EX) != 0) return Say("failed");
        Say("squatted");
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
        return 0;
    }
    if (command == "link") return Say(::symlink(argv[2], argv[3]) == 0 ? "linked" : "failed");
    if (command == "post")
        return Say(talvex::PostThreadMessage(static_cast<std::uint32_t>(std::atoll(argv[2])), static_cast<std::uint32_t>(std::atoi(argv[3])), 0, 0)
                       ? "posted" : "not posted");
    const bool queue = talvex::EnsureMessageQueue();
    const bool posted = talvex::PostThreadMessage(talvex::GetCurrentThreadId(), WM_RP_TELEGRAM, 0, 0);
    return Say(std::string("queue ") + (queue ? "1" : "0") + " post " + (posted ? "1" : "0"));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    auto number = [&](int index) { return index < argc ? std::atoi(argv[index]) : 0; };
    void* object = nullptr;
    if (command == "hold") {   // hold <key> <ms>: keeps the lock and the signal open until the signal is set
        void* signal = nullptr;
        if (memLockOpen(number(2), &object) != 0 || memSignalOpen(number(2), &signal) != 0) return Say("absent");
        Say("open");
        Say("wait " + std::to_string(talvex::WaitForEvent(signal, static_cast<std::uint32_t>(number(3)))));
        memLockDestroy(object);
        memSignalDestroy(signal);
        return Say("closed");
    }
    if (command == "abandon") {   // abandon <key>: takes the lock and ends without closing anything, as a crash would
        void* signal = nullptr;
        if (memLockCreate(number(2), &object) != 0 || memSignalCreate(number(2), &signal) != 0 || memLock(object) != 0)
            return Say("failed");
        Say("abandoned");
        std::_Exit(0);
    }
    if (command == "count" && argc >= 6) {   // count <path> <mapkey> <lockkey> <n>: unsafe increments under the lock
        // (word 0), once a second "count" of the same region has come (word 1)
        mappedRegionS* region = nullptr;
        if (memmap(Widen(argv[2]).c_str(), number(3), 4096, &region) != 0 || memLockOpen(number(4), &object) != 0) {
            memunmap(&region);
            return Say("failed");
        }
        volatile std::int32_t* counter = reinterpret_cast<std::int32_t*>(memGetAddr(&region));
        std::atomic_ref<std::int32_t> ready(reinterpret_cast<std::int32_t*>(memGetAddr(&region))[1]);
        ready.fetch_add(1);   // the two peers of the test start counting together
        WaitFor([&] { return ready.load() >= 2; }, std::chrono::seconds(10));
        for (int i = 0; i < number(5); ++i) {
            memLock(object);
            const std::int32_t value = *counter;
            if ((i & 63) == 0) std::this_thread::yield();
            *counter = value + 1;
            memUnlock(object);
        }
        memLockDestroy(object);
        memunmap(&region);
        return Say("counted");
    }
    if (command == "shm" && argc >= 7) return Channel(argv);
    if ((command == "open" && argc >= 3) || (command == "squat" && argc >= 4) || (command == "link" && argc >= 4) ||
        (command == "post" && argc >= 4) || command == "queue")
        return Attack(command, argv);
    return 2;
}

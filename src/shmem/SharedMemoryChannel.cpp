// The shared-memory channel of CRP_CallerEx: calls and returns between two processes
// of one computer through two mapped region files, a named lock that guards them, a
// thread message that wakes the peer's telegram thread, and a named signal that lets
// the telegram thread serve one call at a time.
//
// Region layout (32-bit words from the start of each view):
//   [0] state  [1] byte count 16 + 4n  [2] type  [3] procedure  [4] reference
//   [5] length n  [6 .. 6+n) data words
// Call region state 1: a call was written. Return region state 1: answer pending;
// 2: the answer is complete (written last, inside the lock).
//
// Telling an answer from a late one: the calling side writes a reference number of its
// own into the call region for each call, not the block's (a process-wide counter that
// starts at a random value), and the serving side's answer carries the reference of the
// call it read, since the application answers with ResetForReturn on the block it got.
// The peer may answer a call after the calling side gave up on it: that answer lands
// in the return region with state 2 while the next call waits, and carries the earlier
// call's reference. The calling side remembers the references of its last calls that
// gave up; an answer that carries one of them it sets back to pending and waits on for
// the rest of its time. A peer that answers in a block of its own (another reference
// altogether) is still heard, as before, though its late answers cannot be told apart.
// The telegram thread reads the call region when it handles a message, which may be
// after a newer call replaced the one the message was posted for: it then serves the
// newer call, and its answer carries the newer call's reference, so it is right for
// whoever waits for that reference. The application's block keeps its own reference
// number: the channel's number is only in the regions (and in the block the peer's
// DoRemoteFunction gets).
//
// Bounded waits: the lock is shared with the peer process, which may die while it
// holds it. No acquire of the channel waits without limit: a call takes it within its
// time-out and within its answer wait, the telegram thread and SendReturn within
// kServeLockMilliseconds; a lock not had in time fails that step and is reported to
// the diagnostic sink. The telegram thread thus always comes back to its message
// loop, and UnInitSharedMemory, which waits for it, returns.
//
// Shortened files: a region file cut short under its mapping raises SIGBUS on the
// next access past its end. Every copy checks, under the lock, that both files still
// hold the bytes it touches (UsableRegionBytes reads their sizes from the open
// descriptors), and the answer wait checks before each look at the state word. A
// check and not a SIGBUS handler: a library must not take over a process-wide signal
// from the application, and the files are 0600 and the user's own (memmap refuses
// others), so only a process of the same user can cut one short, outside the lock;
// that leaves the short moment between the check and the copy, which the user's own
// processes could exploit no more than they can already (they may ptrace us).
#include "talvex05u/caller/RP_CallerEx.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Thread.h"
#include "talvex05u/socket/BlockingSocketException.h"

#include "caller/CounterCells.h"
#include "shmem/MappedFileBytes.h"
#include "shmem/MemLockWithin.h"

#include <algorithm>
#include <bit>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <random>
#include <sched.h>
#include <unistd.h>

// The shared regions hold words that the peer on the other side reads little-endian.
static_assert(std::endian::native == std::endian::little, "shared regions need little-endian words");

namespace {

constexpr std::int32_t kStateWord = 0;
constexpr std::int32_t kByteCountWord = 1;
constexpr std::int32_t kTypeWord = 2;
constexpr std::int32_t kProcedureWord = 3;
constexpr std::int32_t kReferenceWord = 4;
constexpr std::int32_t kLengthWord = 5;
constexpr std::int32_t kFirstDataWord = 6;
constexpr std::int32_t kHeaderBytes = 4 * kFirstDataWord;

constexpr std::int32_t kStateCallWritten = 1;
constexpr std::int32_t kStateAnswerPending = 1;
constexpr std::int32_t kStateAnswerComplete = 2;

// Words the telegram thread's receiving block is grown by once, and the words it then
// holds (512 + 528,384): the longest call the peer can take.
constexpr std::int32_t kReceivingBlockGrowth = 0x80000;
constexpr std::int32_t kReceivingBlockWords = 528896;
// Polling period of UnInitSharedMemory while it waits for the telegram thread to end.
constexpr std::uint32_t kQuitPollMilliseconds = 20;
// Consecutive failed reads of its message queue after which the telegram thread gives up.
constexpr int kMaxMessageFailures = 1000;
// How long the telegram thread and SendReturn wait for the lock, and a call for it
// when it takes the answer (the answer wait itself lasts one to two seconds).
constexpr std::uint32_t kServeLockMilliseconds = 2000;
constexpr std::uint32_t kAnswerLockMilliseconds = 2000;

// Takes the channel lock within `milliseconds`; says so on the diagnostic sink when
// it cannot (the peer may have died holding it).
bool LockWithin(void* lock, std::uint32_t milliseconds, const char* step) {
    if (talvex::memLockWithin(lock, milliseconds) == 0) return true;
    const std::string line = std::string("shared-memory channel: ") + step + ": the lock was not free within " +
                             std::to_string(milliseconds) + " ms (held by a peer that stopped or died?)";
    talvex::EmitDiagnostic(line.c_str());
    return false;
}

// A call's time-out as a lock wait: negative counts as 0 (one try).
std::uint32_t LockMilliseconds(std::int32_t timeout) { return timeout > 0 ? static_cast<std::uint32_t>(timeout) : 0; }

// The region words are shared with the other process: every word read or written
// outside the data copy goes through an atomic reference.
std::int32_t LoadWord(std::int32_t* region, std::int32_t index,
                      std::memory_order order = std::memory_order_relaxed) {
    return std::atomic_ref<std::int32_t>(region[index]).load(order);
}

void StoreWord(std::int32_t* region, std::int32_t index, std::int32_t value,
               std::memory_order order = std::memory_order_relaxed) {
    std::atomic_ref<std::int32_t>(region[index]).store(value, order);
}

// True when a block of `length` data words fits a region of `regionBytes` bytes.
bool FitsRegion(std::int64_t length, std::int32_t regionBytes) {
    return length >= 0 && kHeaderBytes + 4 * length <= regionBytes;
}

// True when the block's `m_nLength` words all lie inside its buffer.
bool DataInsideBuffer(const CUdpDataBlockEx& block) {
    return block.m_nLength >= 0 && block.m_nLength <= block.m_nCapacity &&
           (block.m_nLength == 0 || block.m_pData != nullptr);
}

// First reference number of this process's channel calls. Random, so that two
// processes that take turns calling each other over one channel do not number their
// calls alike (a late answer of one must not match the other's call).
std::uint32_t FirstChannelReference() {
    try {
        std::random_device device;
        return device();
    } catch (...) {
        const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        return static_cast<std::uint32_t>(ticks ^ (ticks >> 32)) ^ (static_cast<std::uint32_t>(getpid()) * 2654435761u);
    }
}

// The reference number that marks one call in the regions: every call of this process
// gets a new one, whichever CRP_CallerEx makes it.
std::int32_t NextChannelReference() {
    static std::atomic<std::uint32_t> next{FirstChannelReference()};
    return static_cast<std::int32_t>(next.fetch_add(1, std::memory_order_relaxed));
}

// Writes the block's header, with `reference` as its reference number, and its data
// words into a region (the caller holds the lock).
void WriteBlock(std::int32_t* region, const CUdpDataBlockEx& block, std::int32_t reference) {
    StoreWord(region, kTypeWord, block.m_nType);
    StoreWord(region, kProcedureWord, block.m_nProcedure);
    StoreWord(region, kReferenceWord, reference);
    StoreWord(region, kLengthWord, block.m_nLength);
    if (block.m_nLength > 0) {
        std::memcpy(region + kFirstDataWord, block.m_pData, 4 * static_cast<std::size_t>(block.m_nLength));
    }
    StoreWord(region, kByteCountWord, 16 + 4 * block.m_nLength);
}

// Copies header and `length` data words of a region into the block, whose buffer
// holds at least `length` words (the caller holds the lock).
void ReadBlock(std::int32_t* region, std::int32_t length, CUdpDataBlockEx* block) {
    block->m_nType = LoadWord(region, kTypeWord);
    block->m_nProcedure = LoadWord(region, kProcedureWord);
    block->m_nReferenceNumber = LoadWord(region, kReferenceWord);
    block->m_nLength = length;
    if (length > 0) std::memcpy(block->m_pData, region + kFirstDataWord, 4 * static_cast<std::size_t>(length));
}

// Bytes a block may take in this side's regions: the size asked for, but never more
// than either region or its file really has now (after a failed InitSharedMemory the
// regions may be shorter; a file may have been cut short since). Below kHeaderBytes
// not even the header words may be touched.
std::int32_t UsableRegionBytes(CRP_CallerEx& side) {
    std::int64_t bytes = side.m_nSharedSize;
    bytes = std::min<std::int64_t>(bytes, memGetLength(&side.m_pCallRegion));
    bytes = std::min<std::int64_t>(bytes, memGetLength(&side.m_pReturnRegion));
    bytes = std::min(bytes, talvex::MappedFileBytes(&side.m_pCallRegion));
    bytes = std::min(bytes, talvex::MappedFileBytes(&side.m_pReturnRegion));
    return static_cast<std::int32_t>(std::max<std::int64_t>(bytes, -1));
}

bool HeaderReachable(CRP_CallerEx& side) { return UsableRegionBytes(side) >= kHeaderBytes; }

// What the calling side found in a complete answer.
enum class AnswerCheck {
    kTaken,     // its own answer, copied into the block
    kRefused,   // its own answer, but with a damaged length or too large for memory
    kStale,     // a late answer to an earlier call: set back to pending, not taken
    kNoLock,    // the lock was not had in time: nothing read
};

// Replaces the block's buffer by one of exactly `words` words (old contents dropped).
bool ReplaceBuffer(CUdpDataBlockEx* block, std::int32_t words) {
    auto* buffer = new (std::nothrow) std::int32_t[static_cast<std::size_t>(words)];
    if (buffer == nullptr) return false;
    delete[] block->m_pData;
    block->m_pData = buffer;
    block->m_nCapacity = words;
    return true;
}

// Under the lock: copies the complete answer in the return region into the block,
// which keeps its own reference number, unless it carries the reference of an earlier
// call of this caller that gave up (`isAbandoned`): such a late answer goes back to
// pending. An answer that carries neither the call's reference nor an abandoned one
// (a peer that answers in a block of its own) is taken, as peers expect.
template <typename IsAbandoned>
AnswerCheck TakeAnswer(CRP_CallerEx& side, std::int32_t callReference, const IsAbandoned& isAbandoned,
                       CUdpDataBlockEx* block) {
    void* lock = side.m_hSharedLock;
    std::int32_t* returnRegion = side.m_pSharedReturn;
    if (!LockWithin(lock, kAnswerLockMilliseconds, "taking the answer")) return AnswerCheck::kNoLock;
    const std::int32_t regionBytes = UsableRegionBytes(side);
    if (regionBytes < kHeaderBytes) {
        memUnlock(lock);
        return AnswerCheck::kRefused;
    }
    const std::int32_t answerReference = LoadWord(returnRegion, kReferenceWord);
    if (answerReference != callReference && isAbandoned(answerReference)) {
        StoreWord(returnRegion, kStateWord, kStateAnswerPending);
        memUnlock(lock);
        return AnswerCheck::kStale;
    }
    const std::int32_t length = LoadWord(returnRegion, kLengthWord);
    bool accepted = FitsRegion(length, regionBytes);
    if (accepted && block->m_nCapacity < length) accepted = ReplaceBuffer(block, length);
    if (accepted) {
        const std::int32_t ownReference = block->m_nReferenceNumber;
        block->Clear();
        ReadBlock(returnRegion, length, block);
        block->m_nReferenceNumber = ownReference;
    }
    memUnlock(lock);
    return accepted ? AnswerCheck::kTaken : AnswerCheck::kRefused;
}

// Under the lock: copies the call out of the call region into the telegram thread's
// block, when its length fits the regions (and their files) and the block.
bool ReadCallIfWhole(CRP_CallerEx& side, CUdpDataBlockEx* block) {
    const std::int32_t regionBytes = UsableRegionBytes(side);
    if (regionBytes < kHeaderBytes) return false;
    const std::int32_t length = LoadWord(side.m_pSharedCall, kLengthWord);
    if (!FitsRegion(length, regionBytes) || length > block->m_nCapacity) return false;
    ReadBlock(side.m_pSharedCall, length, block);
    return true;
}

std::int32_t* RegionWords(mappedRegionS** region) {
    return reinterpret_cast<std::int32_t*>(memGetAddr(region));
}


// Counts a call through the channel that gave up at its time-out; false, its result.
bool GaveUp(talvex::CounterCells& counters) {
    counters.Add(talvex::Counter::kTimedOut);
    counters.Add(talvex::Counter::kShmTimeouts);
    return false;
}

// Releases the regions, lock and signal of a channel side, whichever of them exist.
// The lock is closed on either side: the non-owner's handle is its own reference.
void ReleaseChannelObjects(CRP_CallerEx& side) {
    if (side.m_hSharedLock != nullptr) memLockDestroy(side.m_hSharedLock);
    side.m_hSharedLock = nullptr;
    if (side.m_hTelegramSignal != nullptr) memSignalDestroy(side.m_hTelegramSignal);
    side.m_hTelegramSignal = nullptr;
    side.m_pSharedCall = nullptr;
    side.m_pSharedReturn = nullptr;
    memunmap(&side.m_pCallRegion);
    memunmap(&side.m_pReturnRegion);
}

}  // namespace

bool CRP_CallerEx::InitSharedMemory(const CString& baseName, int size, int key, bool lockOwner) {
    if (m_pTelegramThread != nullptr) return false;   // the channel is open already
    ReleaseChannelObjects(*this);                      // leftovers of a failed attempt

    m_strSharedName = baseName;
    const CString callPath = baseName + L"S";
    const CString returnPath = baseName + L"R";
    m_bSharedLockOwner = lockOwner;
    m_nSharedSize = size;
    m_nSharedKey = key;

    if (memmap(callPath, key, size, &m_pCallRegion) != 0) return false;
    if (memmap(returnPath, key + 1, size, &m_pReturnRegion) != 0) return false;
    m_pSharedCall = RegionWords(&m_pCallRegion);
    if (size > memGetLength(&m_pCallRegion)) return false;
    m_pSharedReturn = RegionWords(&m_pReturnRegion);
    if (size > memGetLength(&m_pReturnRegion)) return false;

    const int lockResult = lockOwner ? memLockCreate(key, &m_hSharedLock) : memLockOpen(key, &m_hSharedLock);
    if (lockResult < 0) return false;
    if (memSignalCreate(m_nMyPort, &m_hTelegramSignal) != 0) return false;

    m_pTelegramThread = talvex::BeginThread(&CRP_CallerEx::TelegramThreadProc, this, talvex::kPriorityNormal);
    return m_pTelegramThread != nullptr;
}

bool CRP_CallerEx::UnInitSharedMemory() {
    if (m_hTelegramSignal != nullptr) talvex::SetEvent(m_hTelegramSignal);
    DisableSharedMemory();
    if (m_pTelegramThread != nullptr) {
        // Called from the telegram thread itself (inside DoRemoteFunction) the thread
        // cannot be waited for, and releasing the regions under it is not safe.
        if (talvex::GetCurrentThreadId() == m_pTelegramThread->m_nThreadID) return false;
        // Until the thread has ended: post the quit message (a post fails while its
        // queue does not exist yet), and keep the signal set so that calls still
        // queued before the quit message cannot hold it in its wait.
        bool quitPosted = false;
        for (;;) {
            if (!quitPosted) {
                quitPosted = talvex::PostThreadMessage(m_pTelegramThread->m_nThreadID, WM_RP_TELEGRAM_QUIT, 0, 0);
            }
            if (m_pTelegramThread->WaitFor(kQuitPollMilliseconds)) break;
            if (m_hTelegramSignal != nullptr) talvex::SetEvent(m_hTelegramSignal);
        }
        delete m_pTelegramThread;   // joins
        m_pTelegramThread = nullptr;
    }
    ReleaseChannelObjects(*this);
    ResetSharedMemoryState();
    return true;
}

// Sets the channel members to their closed values; releases nothing (it is also fit
// for a constructor, where the members hold no values yet).
void CRP_CallerEx::ResetSharedMemoryState() {
    m_bSharedMemory = false;
    m_pSharedCall = nullptr;
    m_pSharedReturn = nullptr;
    m_pTelegramThread = nullptr;
    m_pCallRegion = nullptr;
    m_pReturnRegion = nullptr;
    m_hSharedLock = nullptr;
    m_hTelegramSignal = nullptr;
    m_nPeerThreadId = 0;
    m_nSharedSize = 0;
    m_nSharedKey = 0;
    m_bSharedLockOwner = false;
}

void CRP_CallerEx::EnableSharedMemory() { m_bSharedMemory = true; }

void CRP_CallerEx::DisableSharedMemory() { m_bSharedMemory = false; }

std::uint32_t CRP_CallerEx::TelegramThreadProc(void* caller) {
    return static_cast<CRP_CallerEx*>(caller)->TelegramFunc(nullptr);
}

std::uint32_t CRP_CallerEx::TelegramFunc(void* /*unused*/) {
    // The queue first, so that the calling side's posts succeed as early as possible.
    talvex::EnsureMessageQueue();
    // Grown once, so that serving a call never allocates.
    CUdpDataBlockEx block;
    block.Grow(kReceivingBlockGrowth);
    talvex::SetEvent(m_hTelegramSignal);   // ready to serve a call

    int failures = 0;
    for (;;) {
        talvex::ThreadMessage message;
        if (!talvex::GetMessage(&message, WM_RP_TELEGRAM, WM_RP_TELEGRAM_QUIT)) {
            // A queue that cannot be read can never bring the quit message: give up.
            if (++failures >= kMaxMessageFailures || !talvex::EnsureMessageQueue()) return 1;
            talvex::Sleep(1);
            continue;
        }
        failures = 0;
        if (message.message == WM_RP_TELEGRAM_QUIT) return 0;

        // The previous call has to be answered before this one is taken.
        talvex::WaitForEvent(m_hTelegramSignal, talvex::kInfinite);
        talvex::ResetEvent(m_hTelegramSignal);
        block.Clear();
        if (!LockWithin(m_hSharedLock, kServeLockMilliseconds, "reading a call")) {
            talvex::SetEvent(m_hTelegramSignal);   // not served; the next call may come
            continue;
        }
        const bool acceptable = ReadCallIfWhole(*this, &block);
        memUnlock(m_hSharedLock);
        if (!acceptable) {
            // A damaged call is not served; the next one may come.
            talvex::SetEvent(m_hTelegramSignal);
            continue;
        }
        m_pCounters->Add(talvex::Counter::kServed);
        DoRemoteFunction(&block);
    }
}

bool CRP_CallerEx::SharedCallProcedure(CUdpDataBlockEx* block, std::int32_t timeout) {
    if (block == nullptr || m_pSharedCall == nullptr || m_pSharedReturn == nullptr) return false;
    // A block that the region (or the peer's receiving block) cannot hold is refused whole.
    const std::int32_t regionBytes = UsableRegionBytes(*this);
    if (!DataInsideBuffer(*block) || !FitsRegion(block->m_nLength, regionBytes)) return false;
    if (block->m_nLength > kReceivingBlockWords) return false;

    const std::int32_t callReference = NextChannelReference();
    talvex::CounterCells& counters = *m_pCounters;
    counters.Add(talvex::Counter::kCalls);
    counters.Add(talvex::Counter::kShmCalls);
    if (!LockWithin(m_hSharedLock, LockMilliseconds(timeout), "writing a call")) return GaveUp(counters);
    if (!FitsRegion(block->m_nLength, UsableRegionBytes(*this))) {   // a file was cut short meanwhile
        memUnlock(m_hSharedLock);
        return false;
    }
    StoreWord(m_pSharedCall, kStateWord, kStateCallWritten);
    WriteBlock(m_pSharedCall, *block, callReference);
    StoreWord(m_pSharedReturn, kStateWord, kStateAnswerPending, std::memory_order_release);
    memUnlock(m_hSharedLock);

    // From here on a failed call may still be answered late: its reference is remembered.
    const auto abandon = [&] {
        m_anAbandonedChannelCalls[m_nAbandonedChannelCalls++ % m_anAbandonedChannelCalls.size()] = callReference;
        return GaveUp(counters);
    };
    const auto isAbandoned = [&](std::int32_t reference) {
        const std::size_t known = std::min(m_nAbandonedChannelCalls, m_anAbandonedChannelCalls.size());
        return std::find(m_anAbandonedChannelCalls.begin(), m_anAbandonedChannelCalls.begin() + static_cast<long>(known),
                         reference) != m_anAbandonedChannelCalls.begin() + static_cast<long>(known);
    };

    // Wake the peer's telegram thread; its queue may not exist yet, so retry until the time-out.
    double start = 0.0;
    double current = 0.0;
    const bool clockReady = memtimeGet(&start) != 0 && memtimeGet(&current) != 0;
    while (!talvex::PostThreadMessage(m_nPeerThreadId, WM_RP_TELEGRAM, 0, 0)) {
        if (!clockReady || memtimeGet(&current) == 0) return abandon();
        if (current - start > static_cast<double>(timeout)) return abandon();
        sched_yield();
    }

    // The answer: one to two seconds of the calendar clock, whatever the time-out. A
    // late answer to an earlier call found on the way does not end the wait.
    const std::time_t t0 = std::time(nullptr);
    for (;;) {
        for (;;) {
            if (!HeaderReachable(*this)) return abandon();
            if (LoadWord(m_pSharedReturn, kStateWord, std::memory_order_acquire) == kStateAnswerComplete) break;
            if (std::time(nullptr) > t0 + 1) return abandon();
            sched_yield();
        }
        const AnswerCheck check = TakeAnswer(*this, callReference, isAbandoned, block);
        if (check == AnswerCheck::kNoLock) return abandon();
        if (check == AnswerCheck::kTaken) counters.Add(talvex::Counter::kAnswered);
        if (check != AnswerCheck::kStale) return check == AnswerCheck::kTaken;
    }
}

std::int32_t CRP_CallerEx::SharedSendReturn(CUdpDataBlockEx* block) {
    if (block == nullptr || m_pSharedReturn == nullptr) return 0;
    m_pCounters->Add(talvex::Counter::kReturnsSent);
    block->m_nType = RP_RETURN;
    // An answer the region cannot hold is not written; the caller's wait then ends without it.
    if (DataInsideBuffer(*block) && FitsRegion(block->m_nLength, UsableRegionBytes(*this)) &&
        LockWithin(m_hSharedLock, kServeLockMilliseconds, "writing an answer")) {
        if (FitsRegion(block->m_nLength, UsableRegionBytes(*this))) {   // checked again: a file may be shorter now
            WriteBlock(m_pSharedReturn, *block, block->m_nReferenceNumber);
            StoreWord(m_pSharedReturn, kStateWord, kStateAnswerComplete, std::memory_order_release);
        }
        memUnlock(m_hSharedLock);
    }
    if (m_hTelegramSignal != nullptr) talvex::SetEvent(m_hTelegramSignal);   // the next call may come
    return 0;
}

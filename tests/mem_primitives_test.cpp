// The mem functions: named locks and signals within one process and between two
// (tests/helpers/mem_peer.cpp), mapped regions of files, the clock, and the cleanup
// of named objects in /dev/shm.
#include "talvex05u/platform/Event.h"
#include "talvex05u/shmem/MemPrimitives.h"

#include "platform/NamedObjects.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ObjectFile(const char* kind, int key) {
    char name[64];
    std::snprintf(name, sizeof name, "/dev/shm/talvex05u.%s%08x", kind, static_cast<unsigned>(key));
    return name;
}

bool ObjectExists(const char* kind, int key) { return fs::exists(ObjectFile(kind, key)); }

std::string Line(testsupport::ChildProcess& child) {
    std::string line;
    return child.ReadLine(&line, 10s) ? line : std::string("<no line>");
}

testsupport::ChildProcess Peer(const std::vector<std::string>& args) {
    return testsupport::ChildProcess(testsupport::HelperPath("mem_peer"), args);
}

// A temporary directory for region files, removed with everything in it.
class TempDirectory {
public:
    TempDirectory() : m_path(fs::temp_directory_path() / testsupport::UniqueName("talvex-mem")) {
        fs::create_directories(m_path);
    }
    ~TempDirectory() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    std::wstring WideFile(const std::string& name) const { return (m_path / name).wstring(); }

private:
    fs::path m_path;
};

void WriteFile(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'x');
}

// ---- names ----------------------------------------------------------------------

TEST(MemNames, LockAndSignalNamesAreHexOfTheKeyAndDoNotCollide) {
    const int keys[] = {testsupport::UniqueKey(), -1};
    for (int key : keys) {
        void* lock = nullptr;
        void* signal = nullptr;
        ASSERT_EQ(memLockCreate(key, &lock), 0);
        ASSERT_EQ(memSignalCreate(key, &signal), 0);
        EXPECT_TRUE(ObjectExists("sem", key)) << ObjectFile("sem", key);
        EXPECT_TRUE(ObjectExists("sig", key)) << ObjectFile("sig", key);
        // Same key, different kinds: the lock is still free and the signal still unset.
        EXPECT_EQ(memLock(lock), 0);
        EXPECT_EQ(talvex::WaitForEvent(signal, 0), talvex::kWaitTimeout);
        EXPECT_EQ(memUnlock(lock), 0);
        memLockDestroy(lock);
        memSignalDestroy(signal);
        EXPECT_FALSE(ObjectExists("sem", key));
        EXPECT_FALSE(ObjectExists("sig", key));
    }
    EXPECT_EQ(ObjectFile("sem", -1), "/dev/shm/talvex05u.semffffffff");
}

// ---- locks in one process ---------------------------------------------------------

TEST(MemLock, CreateTwiceGivesOneSemaphoreWithOneCount) {
    const int key = testsupport::UniqueKey();
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(memLockCreate(key, &first), 0);
    ASSERT_EQ(memLockCreate(key, &second), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(memLock(first), 0);
    EXPECT_EQ(memUnlock(second), 0);   // released through the other handle
    EXPECT_EQ(memUnlock(second), 1);   // count may not exceed 1
    memLockDestroy(first);
    EXPECT_TRUE(ObjectExists("sem", key));   // the second handle keeps it
    memLockDestroy(second);
    EXPECT_FALSE(ObjectExists("sem", key));
}

TEST(MemLock, OpenOfAbsentKeyFailsWithNullHandle) {
    void* lock = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(memLockOpen(testsupport::UniqueKey(), &lock), -1);
    EXPECT_EQ(lock, nullptr);
    void* signal = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(memSignalOpen(testsupport::UniqueKey(), &signal), -1);
    EXPECT_EQ(signal, nullptr);
}

TEST(MemLock, UnlockOfFreeLockAndNullHandlesFail) {
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(testsupport::UniqueKey(), &lock), 0);
    EXPECT_EQ(memUnlock(lock), 1);
    memLockDestroy(lock);
    EXPECT_EQ(memLock(nullptr), 1);
    EXPECT_EQ(memUnlock(nullptr), 1);
    memLockDestroy(nullptr);
    memSignalDestroy(nullptr);
}

TEST(MemLock, SecondTakerWaitsUntilAnotherThreadReleases) {
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(testsupport::UniqueKey(), &lock), 0);
    ASSERT_EQ(memLock(lock), 0);
    std::atomic<bool> taken{false};
    std::thread taker([&] {
        memLock(lock);
        taken = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(taken.load());
    EXPECT_EQ(memUnlock(lock), 0);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load(); }, 5s));
    taker.join();
    EXPECT_EQ(memUnlock(lock), 0);
    memLockDestroy(lock);
}

// ---- locks between processes ---------------------------------------------------------

TEST(MemLockProcesses, TakenInOneProcessReleasedInAnother) {
    const int key = testsupport::UniqueKey();
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(key, &lock), 0);
    {
        auto taker = Peer({"take", std::to_string(key)});
        EXPECT_EQ(Line(taker), "take 0");
        EXPECT_EQ(taker.Wait(10s), 0);
    }
    // The peer left without releasing: the semaphore has no owner and stays taken.
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        memLock(lock);
        taken = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(taken.load());
    {
        auto releaser = Peer({"release", std::to_string(key)});
        EXPECT_EQ(Line(releaser), "release 0");
        EXPECT_EQ(releaser.Wait(10s), 0);
    }
    EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load(); }, 5s));
    waiter.join();
    memUnlock(lock);
    memLockDestroy(lock);
    EXPECT_FALSE(ObjectExists("sem", key));
}

TEST(MemLockProcesses, ObjectLivesWhileAnyProcessHoldsIt) {
    const int key = testsupport::UniqueKey();
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(key, &lock), 0);
    auto holder = Peer({"hold", std::to_string(key), "300"});
    ASSERT_EQ(Line(holder), "open");
    memLockDestroy(lock);   // the creator lets go first
    EXPECT_TRUE(ObjectExists("sem", key));
    EXPECT_EQ(Line(holder), "closed");
    EXPECT_EQ(holder.Wait(10s), 0);
    EXPECT_FALSE(ObjectExists("sem", key));
}

TEST(MemLockProcesses, LockKeepsTwoProcessesOutOfEachOthersUpdate) {
    TempDirectory directory;
    const std::string path = directory.File("counter");
    const int lockKey = testsupport::UniqueKey();
    const int mapKey = testsupport::UniqueKey();
    constexpr int kTimes = 3000;
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(lockKey, &lock), 0);
    mappedRegionS* region = nullptr;
    ASSERT_EQ(memmap(directory.WideFile("counter").c_str(), mapKey, 4096, &region), 0);
    volatile std::int32_t* counter = reinterpret_cast<std::int32_t*>(memGetAddr(&region));

    auto peer = Peer({"count", path, std::to_string(mapKey), std::to_string(lockKey), std::to_string(kTimes)});
    for (int i = 0; i < kTimes; ++i) {
        memLock(lock);
        const std::int32_t value = *counter;
        if ((i & 63) == 0) sched_yield();
        *counter = value + 1;
        memUnlock(lock);
    }
    EXPECT_EQ(Line(peer), "counted");
    EXPECT_EQ(peer.Wait(10s), 0);
    memLock(lock);
    EXPECT_EQ(*counter, 2 * kTimes);
    memUnlock(lock);
    memunmap(&region);
    memLockDestroy(lock);
}

TEST(MemLockProcesses, AbandonedObjectsAreRemovedByTheNextLastCloseOrTheCleanup) {
    const int reopened = testsupport::UniqueKey();
    const int orphaned = testsupport::UniqueKey();
    for (int key : {reopened, orphaned}) {
        auto peer = Peer({"abandon", std::to_string(key)});
        EXPECT_EQ(Line(peer), "abandoned");
        EXPECT_EQ(peer.Wait(10s), 0);
        EXPECT_TRUE(ObjectExists("sem", key));
        EXPECT_TRUE(ObjectExists("sig", key));
    }
    // Whoever opens and closes a left-over object is its last holder and removes it.
    void* lock = nullptr;
    ASSERT_EQ(memLockOpen(reopened, &lock), 0);
    memLockDestroy(lock);
    EXPECT_FALSE(ObjectExists("sem", reopened));
    // Objects nobody holds any more are what the cleanup removes (objects of other
    // test programs running now are held, and stay).
    EXPECT_GE(talvex::RemoveOrphanedNamedObjects(), 3);
    EXPECT_FALSE(ObjectExists("sig", reopened));
    EXPECT_FALSE(ObjectExists("sem", orphaned));
    EXPECT_FALSE(ObjectExists("sig", orphaned));
}

// ---- signals ------------------------------------------------------------------------

TEST(MemSignal, ManualResetEventWithTheEventFunctions) {
    const int key = testsupport::UniqueKey();
    void* signal = nullptr;
    void* again = nullptr;
    ASSERT_EQ(memSignalCreate(key, &signal), 0);
    ASSERT_EQ(memSignalCreate(key, &again), 0);   // the existing event
    EXPECT_EQ(talvex::WaitForEvent(signal, 0), talvex::kWaitTimeout);
    EXPECT_EQ(talvex::WaitForEvent(signal, 20), talvex::kWaitTimeout);
    EXPECT_TRUE(talvex::SetEvent(again));
    EXPECT_EQ(talvex::WaitForEvent(signal, 0), talvex::kWaitObject0);
    EXPECT_EQ(talvex::WaitForEvent(signal, talvex::kInfinite), talvex::kWaitObject0);   // stays set
    EXPECT_TRUE(talvex::IsEventSet(again));
    EXPECT_TRUE(talvex::ResetEvent(signal));
    EXPECT_EQ(talvex::WaitForEvent(again, 0), talvex::kWaitTimeout);
    memSignalDestroy(signal);
    talvex::CloseEvent(again);   // the generic close works on it as well
    EXPECT_FALSE(ObjectExists("sig", key));
}

TEST(MemSignalProcesses, SetInOneProcessWakesAWaiterInAnother) {
    const int key = testsupport::UniqueKey();
    void* signal = nullptr;
    ASSERT_EQ(memSignalCreate(key, &signal), 0);
    // The peer waits, this process sets.
    auto waiter = Peer({"wait", std::to_string(key), "10000"});
    ASSERT_EQ(Line(waiter), "waiting");
    std::this_thread::sleep_for(20ms);
    talvex::SetEvent(signal);
    EXPECT_EQ(Line(waiter), "wait 0");
    EXPECT_EQ(waiter.Wait(10s), 0);
    // This process waits, the peer sets.
    talvex::ResetEvent(signal);
    std::atomic<std::uint32_t> result{12345};
    std::thread local([&] { result = talvex::WaitForEvent(signal, 10000); });
    auto setter = Peer({"set", std::to_string(key)});
    EXPECT_EQ(Line(setter), "set 1");
    local.join();
    EXPECT_EQ(result.load(), talvex::kWaitObject0);
    EXPECT_EQ(setter.Wait(10s), 0);
    memSignalDestroy(signal);
    EXPECT_FALSE(ObjectExists("sig", key));
}

// ---- mapped regions ---------------------------------------------------------------------

struct MapCase {
    const char* name;
    long existingBytes;   // -1: no file
    int size;
    int result;
    int length;           // expected memGetLength on success
    long fileBytes;       // file size afterwards; -1: no file
};

TEST(MemMap, ResultsAndLengthsFollowTheFile) {
    const MapCase cases[] = {
        {"existing file keeps its size", 4096, 100, 0, 4096, 4096},
        {"new file gets the size", -1, 5000, 0, 5000, 5000},
        {"new small file", -1, 100, 0, 100, 100},
        {"new file of size 0", -1, 0, -3, 0, 0},
        {"new file of negative size", -1, -8, -3, 0, 0},
        {"existing empty file", 0, 4096, -3, 0, 0},
    };
    TempDirectory directory;
    int index = 0;
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = "region" + std::to_string(index++);
        if (c.existingBytes >= 0) WriteFile(directory.File(file), static_cast<std::size_t>(c.existingBytes));
        mappedRegionS* region = nullptr;
        EXPECT_EQ(memmap(directory.WideFile(file).c_str(), 7000, c.size, &region), c.result);
        ASSERT_NE(region, nullptr);   // stored at once, also after a failure
        if (c.result == 0) {
            EXPECT_EQ(memGetLength(&region), c.length);
            ASSERT_NE(memGetAddr(&region), nullptr);
            for (int i = 0; i < c.length; ++i) ASSERT_EQ(memGetAddr(&region)[i], c.existingBytes > 0 ? 'x' : 0);
        } else {
            EXPECT_EQ(memGetAddr(&region), nullptr);
        }
        memunmap(&region);
        EXPECT_EQ(region, nullptr);
        struct stat info {};
        if (c.fileBytes < 0) {
            EXPECT_NE(::stat(directory.File(file).c_str(), &info), 0);
        } else {
            ASSERT_EQ(::stat(directory.File(file).c_str(), &info), 0);
            EXPECT_EQ(info.st_size, c.fileBytes);
        }
    }
}

TEST(MemMap, MissingDirectoryAndBadArguments) {
    TempDirectory directory;
    mappedRegionS* region = nullptr;
    EXPECT_EQ(memmap(directory.WideFile("no/such/dir/file").c_str(), 1, 4096, &region), -3);
    EXPECT_NE(region, nullptr);
    memunmap(&region);
    // A path through a plain file cannot be examined at all.
    WriteFile(directory.File("plain"), 10);
    EXPECT_EQ(memmap(directory.WideFile("plain/file").c_str(), 1, 4096, &region), -1);
    memunmap(&region);
    EXPECT_EQ(memmap(nullptr, 1, 4096, &region), -1);
    memunmap(&region);
    EXPECT_EQ(memmap(directory.WideFile("x").c_str(), 1, 4096, nullptr), -3);
    // memunmap of a null record, or of no record pointer at all.
    region = nullptr;
    memunmap(&region);
    EXPECT_EQ(region, nullptr);
    memunmap(nullptr);
    EXPECT_EQ(memGetAddr(&region), nullptr);
    EXPECT_EQ(memGetLength(&region), 0);
}

TEST(MemMap, SamePathSharesBytesAcrossProcessesAndKeepsThemOnDisk) {
    TempDirectory directory;
    const std::wstring path = directory.WideFile("shared");
    mappedRegionS* region = nullptr;
    ASSERT_EQ(memmap(path.c_str(), 42, 4096, &region), 0);
    auto* words = reinterpret_cast<volatile std::int32_t*>(memGetAddr(&region));
    words[0] = 0x1234;
    auto writer = Peer({"write", directory.File("shared"), "42", "777"});
    EXPECT_EQ(Line(writer), "write 0");
    EXPECT_EQ(writer.Wait(10s), 0);
    EXPECT_EQ(words[1], 777);
    memunmap(&region);
    // Mapped again (asked for another size): the file's size and contents.
    ASSERT_EQ(memmap(path.c_str(), 42, 64, &region), 0);
    EXPECT_EQ(memGetLength(&region), 4096);
    words = reinterpret_cast<volatile std::int32_t*>(memGetAddr(&region));
    EXPECT_EQ(words[0], 0x1234);
    EXPECT_EQ(words[1], 777);
    memunmap(&region);
}

// ---- clock ------------------------------------------------------------------------------

TEST(MemTime, ClockIsReadyAtTheStartOfMain) {
    auto peer = Peer({"clock"});
    EXPECT_EQ(Line(peer), "clock 1");
    EXPECT_EQ(peer.Wait(10s), 0);
    EXPECT_EQ(talvex::memtimeInit(), 1);
    EXPECT_EQ(memtimeGet(nullptr), 0);
}

TEST(MemTime, ClockRunsInMillisecondsAndWaitSpinsAtLeastTheTime) {
    double first = 0.0;
    ASSERT_EQ(memtimeGet(&first), 1);
    const auto start = std::chrono::steady_clock::now();
    memtimeWait(25.0);
    const auto waited = std::chrono::steady_clock::now() - start;
    const double second = memtimeTickCount();
    EXPECT_GE(waited, 24ms);
    EXPECT_GE(second - first, 25.0);
    // Compared with the steady clock over the same interval: both count milliseconds.
    const double steadyMs = std::chrono::duration<double, std::milli>(waited).count();
    EXPECT_LT(std::abs((second - first) - steadyMs), 0.5 * steadyMs + 5.0);
    // Nothing to wait for: returns after the two reads.
    for (double nothing : {0.0, -5.0, std::nan("")}) memtimeWait(nothing);
}

}  // namespace

// The mem functions: named locks and signals within one process and between two
// (helper ipc_peer), mapped regions of files, the clock, the cleanup of named objects
// in /dev/shm, and a second user (nobody) that must reach none of them.
#include "shmem/MemTime.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/shmem/MemPrimitives.h"
#include "talvex05u/socket/BlockingSocketException.h"

#include "platform/NamedObjects.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using testsupport::NamedObjectFile;

bool ObjectExists(const char* kind, int key) { return fs::exists(NamedObjectFile(kind, key)); }

struct Peer : testsupport::ChildProcess {
    explicit Peer(const std::vector<std::string>& args) : ChildProcess(testsupport::HelperPath("ipc_peer"), args) {}
};

// A temporary directory for region files, removed with everything in it.
struct TempDirectory {
    fs::path path = fs::temp_directory_path() / testsupport::UniqueName("talvex-mem");
    TempDirectory() { fs::create_directories(path); }
    ~TempDirectory() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::wstring Wide(const std::string& name) const { return (path / name).wstring(); }
    std::string Narrow(const std::string& name) const { return (path / name).string(); }
};

// Collects the lines of the diagnostic sink while it lives.
struct Diagnostics {
    std::string lines;
    Diagnostics() { talvex::SetDiagnosticSink([](const char* line, void* self) { static_cast<Diagnostics*>(self)->lines += line; }, this); }
    ~Diagnostics() { talvex::SetDiagnosticSink(nullptr, nullptr); }
};

TEST(MemLock, NamesCountsAndAbsentKeys) {
    const int key = static_cast<int>(0x80000000u | static_cast<unsigned>(testsupport::UniqueKey()));   // negative
    void *first = nullptr, *second = nullptr, *signal = nullptr;
    ASSERT_EQ(memLockCreate(key, &first), 0);
    ASSERT_EQ(memLockCreate(key, &second), 0);   // the same semaphore, one count
    ASSERT_EQ(memSignalCreate(key, &signal), 0);
    EXPECT_TRUE(ObjectExists("sem", key)) << NamedObjectFile("sem", key);
    EXPECT_TRUE(ObjectExists("sig", key)) << NamedObjectFile("sig", key);
    EXPECT_EQ(talvex::WaitForEvent(signal, 0), talvex::kWaitTimeout);   // the lock's name is not the signal's
    EXPECT_EQ(memLock(first), 0);
    EXPECT_EQ(memUnlock(second), 0);   // released through the other handle
    EXPECT_EQ(memUnlock(second), 1);   // a free lock: the count may not exceed 1
    memLockDestroy(first);
    memLockDestroy(second);
    memSignalDestroy(signal);
    EXPECT_FALSE(ObjectExists("sem", key) || ObjectExists("sig", key));
    void *lock = reinterpret_cast<void*>(0x1), *absent = lock;
    EXPECT_EQ(std::make_tuple(memLockOpen(testsupport::UniqueKey(), &lock), lock), std::make_tuple(-1, static_cast<void*>(nullptr)));
    EXPECT_EQ(std::make_tuple(memSignalOpen(testsupport::UniqueKey(), &absent), absent), std::make_tuple(-1, static_cast<void*>(nullptr)));
    EXPECT_EQ(std::make_tuple(memLock(nullptr), memUnlock(nullptr)), std::make_tuple(1, 1));
    memLockDestroy(nullptr);
    memSignalDestroy(nullptr);
}

TEST(MemLockProcesses, LockKeepsTwoProcessesOutOfEachOthersUpdate) {
    TempDirectory directory;
    const int lockKey = testsupport::UniqueKey(), mapKey = testsupport::UniqueKey();
    constexpr int kTimes = 100000;   // enough for the two peers' runs to overlap
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(lockKey, &lock), 0);
    mappedRegionS* region = nullptr;
    ASSERT_EQ(memmap(directory.Wide("counter").c_str(), mapKey, 4096, &region), 0);
    // Two peers increment the counter at once, each under the lock created here.
    const std::vector<std::string> args = {"count", directory.Narrow("counter"), std::to_string(mapKey),
                                           std::to_string(lockKey), std::to_string(kTimes)};
    Peer first(args), second(args);
    for (Peer* peer : {&first, &second})
        EXPECT_EQ((std::tuple<std::string, int>{peer->NextLine(), peer->Wait(10s)}),
                  std::make_tuple(std::string("counted"), 0));
    memLock(lock);
    EXPECT_EQ(*reinterpret_cast<std::int32_t*>(memGetAddr(&region)), 2 * kTimes);
    memUnlock(lock);
    memunmap(&region);
    memLockDestroy(lock);
}

// A lock and a manual-reset signal shared with a second process that waits on the
// signal: the set wakes it there, and each object vanishes with its last close.
TEST(MemProcesses, SignalSetHereWakesAWaiterThereAndObjectsVanishWithTheLastCloseOrTheCleanup) {
    const int key = testsupport::UniqueKey();
    void *lock = nullptr, *signal = nullptr;
    ASSERT_EQ(std::make_tuple(memLockCreate(key, &lock), memSignalCreate(key, &signal)), std::make_tuple(0, 0));
    Peer holder({"hold", std::to_string(key), "10000"});
    ASSERT_EQ(holder.NextLine(), "open");
    memLockDestroy(lock);   // the creator lets go first
    EXPECT_TRUE(ObjectExists("sem", key));
    std::this_thread::sleep_for(20ms);   // into its wait
    EXPECT_TRUE(talvex::SetEvent(signal));
    EXPECT_EQ((std::tuple<std::string, std::string, int>{holder.NextLine(), holder.NextLine(), holder.Wait(10s)}),
              std::make_tuple(std::string("wait 0"), std::string("closed"), 0));
    EXPECT_FALSE(ObjectExists("sem", key));
    EXPECT_EQ(talvex::WaitForEvent(signal, 0), talvex::kWaitObject0);   // manual: stays set
    EXPECT_TRUE(talvex::ResetEvent(signal));
    EXPECT_EQ(talvex::WaitForEvent(signal, 20), talvex::kWaitTimeout);
    talvex::CloseEvent(signal);   // the generic close works on it as well
    EXPECT_FALSE(ObjectExists("sig", key));
    // Left behind by a process that ended without closing: the cleanup removes them
    // (objects of other test programs running now are held, and stay).
    Peer crashed({"abandon", std::to_string(key)});
    EXPECT_EQ((std::tuple<std::string, int>{crashed.NextLine(), crashed.Wait(10s)}), std::make_tuple(std::string("abandoned"), 0));
    EXPECT_TRUE(ObjectExists("sem", key) && ObjectExists("sig", key));
    EXPECT_GE(talvex::RemoveOrphanedNamedObjects(), 2);
    EXPECT_FALSE(ObjectExists("sem", key) || ObjectExists("sig", key));
}

TEST(MemMap, ResultsAndLengthsFollowTheFile) {
    struct Case {
        const char* file;
        long existingBytes;   // -1: no file
        int size, result, length;
        long fileBytes;       // file size afterwards; -1: no file
        unsigned mode = 0600;   // of the existing file
    } const cases[] = {
        {"existing", 4096, 100, 0, 4096, 4096},
        {"new", -1, 5000, 0, 5000, 5000},
        {"zero", -1, 0, -3, 0, 0},
        {"negative", -1, -8, -3, 0, 0},
        {"empty", 0, 4096, -3, 0, 0},
        {"no/such/dir/file", -1, 4096, -3, 0, -1},
        {"plain/file", -1, 4096, -1, 0, -1},   // a path through a plain file cannot be examined
        {"readable", 4096, 4096, -3, 0, 4096, 0644},  // open to others: refused, left alone
        {"group-read", 4096, 4096, -3, 0, 4096, 0640},    // open to the group: refused too
        {"group-write", 4096, 4096, -3, 0, 4096, 0660},
        {"linked", 4096, 4096, -3, 0, 4096},    // two links: refused
    };
    TempDirectory directory;
    std::ofstream(directory.path / "plain") << "xx";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.existingBytes >= 0) std::ofstream(directory.path / c.file) << std::string(static_cast<std::size_t>(c.existingBytes), 'x');
        if (c.existingBytes >= 0) fs::permissions(directory.path / c.file, static_cast<fs::perms>(c.mode));
        if (std::string(c.file) == "linked") fs::create_hard_link(directory.path / c.file, directory.path / "second-link");
        mappedRegionS* region = nullptr;
        EXPECT_EQ(memmap(directory.Wide(c.file).c_str(), 7000, c.size, &region), c.result);
        ASSERT_NE(region, nullptr);   // stored at once, also after a failure
        EXPECT_EQ(memGetLength(&region), c.length);
        if (c.result == 0) {
            ASSERT_NE(memGetAddr(&region), nullptr);
            for (int i = 0; i < c.length; ++i) ASSERT_EQ(memGetAddr(&region)[i], c.existingBytes > 0 ? 'x' : 0);
        } else {
            EXPECT_EQ(memGetAddr(&region), nullptr);
        }
        memunmap(&region);
        EXPECT_EQ(region, nullptr);
        struct stat info {};
        EXPECT_EQ(::stat((directory.path / c.file).c_str(), &info) == 0 ? info.st_size : -1, c.fileBytes);
    }
    mappedRegionS* region = nullptr;
    EXPECT_EQ(memmap(nullptr, 1, 4096, &region), -1);
    memunmap(&region);
    EXPECT_EQ(memmap(directory.Wide("x").c_str(), 1, 4096, nullptr), -3);
    memunmap(&region);   // a null record, then no record pointer at all
    memunmap(nullptr);
    EXPECT_EQ(std::make_tuple(memGetAddr(&region), memGetLength(&region)), std::make_tuple(static_cast<char*>(nullptr), 0));
}

// What another user of the computer tries against this user's locks and region files.
TEST(MemOtherUser, ReachesNoLockOrRegionOfOursAndWhatItMadeFirstIsRefused) {
    if (const std::string why = testsupport::WhyNoOtherUser(); !why.empty()) GTEST_SKIP() << why;
    TempDirectory directory;   // a directory both users can write, as /tmp
    fs::permissions(directory.path, fs::perms::all | fs::perms::sticky_bit);
    Diagnostics diagnostics;
    const int key = testsupport::UniqueKey(), squatKey = testsupport::UniqueKey();
    void* lock = nullptr;
    ASSERT_EQ(memLockCreate(key, &lock), 0);
    mappedRegionS* region = nullptr;
    ASSERT_EQ(memmap(directory.Wide("region").c_str(), 1, 4096, &region), 0);
    memGetAddr(&region)[0] = 'c';
    // Our objects: neither read, written nor cut short.
    EXPECT_EQ(testsupport::OtherUserSays({"open", NamedObjectFile("sem", key)}), "denied");
    EXPECT_EQ(testsupport::OtherUserSays({"open", directory.Narrow("region")}), "denied");
    // Names it made first (the lock's held under flock): refused at once, never joined or waited for.
    std::unique_ptr<testsupport::ChildProcess> lockSquat, fileSquat;
    ASSERT_EQ(testsupport::OtherUserSays({"squat", NamedObjectFile("sem", squatKey), "10000"}, &lockSquat), "squatted");
    ASSERT_EQ(testsupport::OtherUserSays({"squat", directory.Narrow("planted"), "10000"}, &fileSquat), "squatted");
    ASSERT_EQ(testsupport::OtherUserSays({"link", directory.Narrow("region"), directory.Narrow("link")}), "linked");
    void* squatted = nullptr;
    EXPECT_EQ(std::make_tuple(memLockCreate(squatKey, &squatted), squatted), std::make_tuple(-1, static_cast<void*>(nullptr)));
    for (const char* name : {"planted", "link"}) {
        mappedRegionS* refused = nullptr;
        EXPECT_EQ(memmap(directory.Wide(name).c_str(), 1, 4096, &refused), -3) << name;
        memunmap(&refused);
    }
    EXPECT_EQ(memGetAddr(&region)[0], 'c');   // nothing written through the link
    EXPECT_NE(diagnostics.lines.find("refused"), std::string::npos) << diagnostics.lines;
    fs::remove(NamedObjectFile("sem", squatKey));
    memunmap(&region);
    memLockDestroy(lock);
}

TEST(MemTime, ClockIsReadyAtTheStartOfMainAndCountsMilliseconds) {
    double first = 0.0;
    ASSERT_EQ(memtimeGet(&first), 1);   // nothing in this program calls memtimeInit: the library did at load
    EXPECT_EQ(std::make_tuple(talvex::memtimeInit(), memtimeGet(nullptr)), std::make_tuple(1, 0));
    const auto start = std::chrono::steady_clock::now();
    memtimeWait(25.0);
    const double steadyMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double second = memtimeTickCount();
    EXPECT_GE(steadyMs, 24.0);
    EXPECT_GE(second - first, 25.0);
    EXPECT_LT(std::abs((second - first) - steadyMs), 0.5 * steadyMs + 5.0);
    for (double nothing : {0.0, -5.0, std::nan("")}) memtimeWait(nothing);   // returns after the two reads
}

}  // namespace

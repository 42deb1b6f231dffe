// The shared-memory channel of CRP_CallerEx between this process (the calling side)
// and a real second process (helper ipc_peer "shm", the answering side).
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Procedures the peer serves.
constexpr std::int32_t kEcho = 1, kCounting = 2, kLate = 3, kHeader = 4, kQuit = 99;
constexpr int kRegionBytes = 64 * 1024;

bool ObjectExists(const char* kind, int key) { return fs::exists(testsupport::NamedObjectFile(kind, key)); }

// A port (it only names a telegram signal) that keeps all bits of a unique key.
unsigned short UniquePort() {
    const auto bits = static_cast<std::uint32_t>(testsupport::UniqueKey());
    return static_cast<unsigned short>(bits ^ (bits >> 16));
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

CUdpDataBlockEx Call(std::int32_t procedure, std::int32_t words) {
    CUdpDataBlockEx block(procedure);
    for (std::int32_t i = 0; i < words; ++i) block.AppendLongData(i * 7 - 3);
    return block;
}
std::vector<std::int32_t> Words(const std::int32_t* from, std::int32_t count) { return {from, from + count}; }

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_directory);
        m_side = std::make_unique<CRP_CallerEx>(m_myPort);
    }
    void TearDown() override {
        EXPECT_TRUE(m_side->UnInitSharedMemory());
        m_side.reset();
        EXPECT_FALSE(ObjectExists("sem", m_key) || ObjectExists("sig", m_myPort) || ObjectExists("sig", m_peerPort));
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }
    CString Base() const { return CString((m_directory / "chan").wstring()); }
    bool OpenOwnSide(int size = kRegionBytes) {
        if (!m_side->InitSharedMemory(Base(), size, m_key, true)) return false;
        m_side->EnableSharedMemory();
        return true;
    }
    // Starts the answering process (not the lock owner); returns its first line.
    std::string StartPeer(int size = kRegionBytes) {
        m_peer = std::make_unique<testsupport::ChildProcess>(
            testsupport::HelperPath("ipc_peer"),
            std::vector<std::string>{"shm", (m_directory / "chan").string(), std::to_string(size),
                                     std::to_string(m_key), "0", std::to_string(m_peerPort)});
        return m_peer->NextLine();
    }
    // Opens both sides and points the calls at the peer's telegram thread.
    void OpenChannel() {
        ASSERT_TRUE(OpenOwnSide());
        ASSERT_EQ(StartPeer(), "init 1");
        const std::string line = m_peer->NextLine();
        ASSERT_EQ(line.rfind("tid ", 0), 0u) << line;
        m_side->m_nPeerThreadId = static_cast<std::uint32_t>(std::stoul(line.substr(4)));
    }
    // An echo of `words` under the application's reference number `reference` comes
    // back whole, with that procedure and reference number (the application's own).
    void ExpectEcho(const std::vector<std::int32_t>& words, std::int32_t reference) {
        CUdpDataBlockEx block(kEcho);
        for (const std::int32_t word : words) block.AppendLongData(word);
        block.m_nReferenceNumber = reference;
        ASSERT_TRUE(m_side->CallProcedure(&block, 1000));
        EXPECT_EQ(std::make_tuple(block.m_nType, block.m_nProcedure, block.m_nReferenceNumber),
                  std::make_tuple(RP_RETURN, kEcho, reference));
        ASSERT_EQ(block.m_nLength, static_cast<std::int32_t>(words.size()));
        EXPECT_EQ(Words(block.m_pData, block.m_nLength), words);
    }

    fs::path m_directory = fs::temp_directory_path() / testsupport::UniqueName("talvex-shm");
    int m_key = testsupport::UniqueKey();
    unsigned short m_myPort = UniquePort(), m_peerPort = UniquePort();
    std::unique_ptr<CRP_CallerEx> m_side;
    std::unique_ptr<testsupport::ChildProcess> m_peer;
};

// Through one channel: echoes of every size that fits with the exact region layout,
// damaged calls refused, and a late answer set aside.
TEST_F(ChannelTest, EchoesEverySizeRefusesDamagedCallsAndSetsALateAnswerAside) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    for (std::int32_t length : {0, 1, 5, 350, 351, 2000, (kRegionBytes - 24) / 4}) {
        SCOPED_TRACE(length);
        ASSERT_NO_FATAL_FAILURE(ExpectEcho(Words(Call(kEcho, length).m_pData, length), length + 100));
    }
    CUdpDataBlockEx header(kHeader);
    ASSERT_TRUE(m_side->CallProcedure(&header, 1000));
    ASSERT_EQ(header.m_nLength, 2);
    // The regions, and the peer, see the channel's own reference number for the call.
    const std::int32_t channelReference = header.m_pData[1];
    EXPECT_EQ(Words(m_side->m_pSharedCall, 6), (std::vector<std::int32_t>{1, 16, RP_CALL, kHeader, channelReference, 0}));
    EXPECT_EQ(Words(m_side->m_pSharedReturn, 8),
              (std::vector<std::int32_t>{2, 16 + 8, RP_RETURN, kHeader, channelReference, 2, RP_CALL, channelReference}));
    // An answer longer than the caller's buffer replaces it by one of exactly its length.
    CUdpDataBlockEx counting(kCounting);
    counting.AppendLongData(3000);
    ASSERT_LT(counting.m_nCapacity, 3000);
    ASSERT_TRUE(m_side->CallProcedure(&counting, 1000));
    EXPECT_EQ(counting.m_nCapacity, 3000);
    ASSERT_EQ(counting.m_nLength, 3000);
    for (std::int32_t i = 0; i < 3000; ++i) ASSERT_EQ(counting.m_pData[i], 3 * i + 1);

    // Damaged length words are not served.
    void* peerSignal = nullptr;
    ASSERT_EQ(memSignalOpen(m_peerPort, &peerSignal), 0);
    for (std::int32_t badLength : {-5, 0x7FFFFFFF, kRegionBytes / 4}) {
        SCOPED_TRACE(badLength);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return talvex::IsEventSet(peerSignal); }, 5s));
        // Held under the lock until the peer took the telegram (its signal reset), so
        // that it reads exactly this damaged call.
        memLock(m_side->m_hSharedLock);
        m_side->m_pSharedCall[2] = RP_CALL;
        m_side->m_pSharedCall[3] = kEcho;
        m_side->m_pSharedCall[5] = badLength;
        ASSERT_TRUE(talvex::PostThreadMessage(m_side->m_nPeerThreadId, WM_RP_TELEGRAM, 0, 0));
        EXPECT_TRUE(testsupport::WaitUntil([&] { return !talvex::IsEventSet(peerSignal); }, 5s));
        memUnlock(m_side->m_hSharedLock);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return talvex::IsEventSet(peerSignal); }, 5s));   // refused
        ASSERT_NO_FATAL_FAILURE(ExpectEcho({badLength}, 0));   // and the next call is served normally
    }
    memSignalDestroy(peerSignal);

    // A late answer fails its call and is never taken by the next. The peer holds this
    // answer until the next call has been written, then answers.
    CUdpDataBlockEx late = Call(kLate, 1);
    late.m_nReferenceNumber = 41;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_side->CallProcedure(&late, 500));   // the time-out only bounds the post
    const double waited = SecondsSince(start);
    EXPECT_TRUE(waited >= 0.99 && waited < 10.0) << waited;
    EXPECT_EQ(std::make_tuple(late.m_nType, late.m_nReferenceNumber, late.m_nLength), std::make_tuple(RP_CALL, 41, 1));
    EXPECT_EQ(m_side->m_pSharedReturn[0], 1);   // still pending
    // The late answer lands while this call waits; it must get its own answer. The
    // application's reference number is left alone, even when it repeats the last one.
    for (std::int32_t reference : {41, 41}) ASSERT_NO_FATAL_FAILURE(ExpectEcho({-3, 4, 11}, reference));
    EXPECT_EQ(m_peer->NextLine(), "late set aside");   // the late answer did land while the next call waited
    CUdpDataBlockEx quit(kQuit);
    EXPECT_TRUE(m_side->CallProcedure(&quit, 1000));
    EXPECT_EQ(m_peer->NextLine(), "closed");
    EXPECT_EQ(m_peer->Wait(10s), 0);
}

// A peer that died holding the lock, or a region file cut short, fails calls in their
// time-out and never hangs the telegram thread or UnInitSharedMemory, nor crashes.
TEST_F(ChannelTest, LockHeldByADeadPeerOrAShortenedFileFailsCallsWithoutHangOrCrash) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    CUdpDataBlockEx block = Call(kEcho, 3);
    fs::resize_file(m_directory / "chanR", 0);
    EXPECT_EQ((std::tuple<bool, int>{m_side->CallProcedure(&block, 300), m_side->SendReturn(&block)}), std::make_tuple(false, 0));
    fs::resize_file(m_directory / "chanR", kRegionBytes);
    block = Call(kEcho, 3);
    EXPECT_TRUE(m_side->CallProcedure(&block, 1000));   // whole again: served

    testsupport::ChildProcess dead(testsupport::HelperPath("ipc_peer"), {"abandon", std::to_string(m_key)});
    ASSERT_EQ(dead.NextLine(), "abandoned");
    EXPECT_EQ(dead.Wait(10s), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_side->CallProcedure(&block, 300));
    EXPECT_GE(SecondsSince(start), 0.25);
    EXPECT_LT(SecondsSince(start), 1.5);
    m_peer.reset();   // killed: the objects only it held are left for the cleanup
    // Our own telegram thread is sent into the held lock; closing the side still ends.
    ASSERT_TRUE(talvex::PostThreadMessage(m_side->m_pTelegramThread->m_nThreadID, WM_RP_TELEGRAM, 0, 0));
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(m_side->UnInitSharedMemory());
    EXPECT_LT(SecondsSince(start), 5.0);
    talvex::RemoveOrphanedNamedObjects();
}

// One side alone: a non-owner first fails, then the owner's side refuses what its
// regions cannot hold, fails posts without a peer thread and cannot be opened twice.
TEST_F(ChannelTest, OwnSideAloneRefusesWhatItCannotDo) {
    EXPECT_FALSE(m_side->InitSharedMemory(Base(), 4096, m_key, false));
    // the files were made before the lock failed
    EXPECT_EQ(std::make_tuple(fs::file_size(m_directory / "chanS"), fs::file_size(m_directory / "chanR")), std::make_tuple(4096u, 4096u));
    // releases what exists; closing a closed side again is harmless
    EXPECT_TRUE(m_side->UnInitSharedMemory() && m_side->UnInitSharedMemory());
    CUdpDataBlockEx block(kEcho);
    m_side->EnableSharedMemory();
    EXPECT_EQ((std::tuple<bool, int>{m_side->CallProcedure(&block, 10), m_side->SendReturn(&block)}), std::make_tuple(false, 0));   // no regions: refused

    ASSERT_TRUE(OpenOwnSide(4096));
    for (std::int32_t timeout : {60, 0, -1}) {   // without a peer thread (id 0) posts fail once the time-out passed
        SCOPED_TRACE(timeout);
        block = Call(kEcho, 1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(m_side->CallProcedure(&block, timeout));
        const double waited = SecondsSince(start);
        if (timeout > 0) { EXPECT_GE(waited, 0.9 * timeout / 1000.0); }
        EXPECT_LT(waited, 0.9);   // never the answer wait: nothing was posted
        EXPECT_EQ(std::make_tuple(block.m_nType, block.m_nLength), std::make_tuple(RP_CALL, 1));
    }
    EXPECT_EQ(StartPeer(8192), "init 0");   // a second side asking for more than the files hold fails
    EXPECT_EQ(m_peer->Wait(10s), 0);

    // Blocks too large for the region are refused without writing.
    m_side->m_nPeerThreadId = 1;   // never reached
    m_side->m_pSharedCall[5] = 12345;
    block = Call(kEcho, (4096 - 24) / 4 + 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_side->CallProcedure(&block, 1000));
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(m_side->m_pSharedCall[5], 12345);
    m_side->m_pSharedReturn[0] = 1;
    m_side->m_pSharedReturn[5] = 54321;
    EXPECT_EQ(m_side->SendReturn(&block), 0);   // an answer too large is not written either
    EXPECT_EQ(std::make_tuple(m_side->m_pSharedReturn[0], m_side->m_pSharedReturn[5]), std::make_tuple(1, 54321));
    EXPECT_FALSE(m_side->InitSharedMemory(Base(), 1024, m_key, true));   // already open
}

}  // namespace

// The shared-memory channel of CRP_CallerEx between this process (the calling side)
// and a real second process (tests/helpers/shm_peer.cpp, the answering side).
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::int32_t kEcho = 1;
constexpr std::int32_t kCounting = 2;
constexpr std::int32_t kSilent = 3;
constexpr std::int32_t kHeader = 4;
constexpr std::int32_t kQuit = 99;
constexpr int kRegionBytes = 64 * 1024;

bool ObjectExists(const char* kind, int key) {
    char name[64];
    std::snprintf(name, sizeof name, "/dev/shm/talvex05u.%s%08x", kind, static_cast<unsigned>(key));
    return fs::exists(name);
}

// A stored port (it only names a telegram signal) that keeps all bits of a unique key.
unsigned short PortFromKey(int key) {
    const auto bits = static_cast<std::uint32_t>(key);
    return static_cast<unsigned short>(bits ^ (bits >> 16));
}

// One channel: a temporary base path, a key, two distinct ports (which name the two
// sides' telegram signals) and this process's calling side.
class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_directory = fs::temp_directory_path() / testsupport::UniqueName("talvex-shm");
        fs::create_directories(m_directory);
        m_key = testsupport::UniqueKey();
        m_myPort = PortFromKey(testsupport::UniqueKey());
        m_peerPort = PortFromKey(testsupport::UniqueKey());
        m_side = std::make_unique<CRP_CallerEx>(m_myPort);
    }

    void TearDown() override {
        EXPECT_TRUE(m_side->UnInitSharedMemory());
        m_side.reset();
        EXPECT_FALSE(ObjectExists("sem", m_key));
        EXPECT_FALSE(ObjectExists("sig", m_myPort));
        EXPECT_FALSE(ObjectExists("sig", m_peerPort));
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }

    CString Base() const { return CString((m_directory / "chan").wstring()); }

    bool OpenOwnSide(int size = kRegionBytes, bool owner = true) {
        if (!m_side->InitSharedMemory(Base(), size, m_key, owner)) return false;
        m_side->EnableSharedMemory();
        return true;
    }

    // Starts the answering process; returns its telegram thread id (0 when it failed).
    std::uint32_t StartPeer(int size = kRegionBytes, bool owner = false, std::string* initLine = nullptr) {
        m_peer = std::make_unique<testsupport::ChildProcess>(
            testsupport::HelperPath("shm_peer"),
            std::vector<std::string>{(m_directory / "chan").string(), std::to_string(size), std::to_string(m_key),
                                     owner ? "1" : "0", std::to_string(m_peerPort)});
        std::string line;
        if (!m_peer->ReadLine(&line, 10s)) return 0;
        if (initLine != nullptr) *initLine = line;
        if (line != "init 1" || !m_peer->ReadLine(&line, 10s) || line.rfind("tid ", 0) != 0) return 0;
        return static_cast<std::uint32_t>(std::stoul(line.substr(4)));
    }

    // Opens both sides with this process as the lock owner and points the calls at the peer.
    void OpenChannel() {
        ASSERT_TRUE(OpenOwnSide());
        std::string initLine;
        const std::uint32_t peerThread = StartPeer(kRegionBytes, false, &initLine);
        ASSERT_NE(peerThread, 0u) << "peer said: " << initLine;
        m_side->m_nPeerThreadId = peerThread;
    }

    void StopPeer() {
        if (!m_peer) return;
        CUdpDataBlockEx quit(kQuit);
        EXPECT_TRUE(m_side->CallProcedure(&quit, 1000));
        std::string line;
        EXPECT_TRUE(m_peer->ReadLine(&line, 10s));
        EXPECT_EQ(line, "closed");
        EXPECT_EQ(m_peer->Wait(10s), 0);
        m_peer.reset();
    }

    fs::path m_directory;
    int m_key = 0;
    unsigned short m_myPort = 0;
    unsigned short m_peerPort = 0;
    std::unique_ptr<CRP_CallerEx> m_side;
    std::unique_ptr<testsupport::ChildProcess> m_peer;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ChannelTest, EchoesBlocksOfEverySizeThatFits) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    const std::int32_t lengths[] = {0, 1, 5, 350, 351, 2000, (kRegionBytes - 24) / 4};
    std::int32_t reference = 100;
    for (std::int32_t length : lengths) {
        SCOPED_TRACE(length);
        CUdpDataBlockEx block(kEcho);
        block.m_nReferenceNumber = ++reference;
        for (std::int32_t i = 0; i < length; ++i) block.AppendLongData(i * 7 - 3);
        ASSERT_TRUE(m_side->CallProcedure(&block, 1000));
        EXPECT_EQ(block.m_nType, RP_RETURN);
        EXPECT_EQ(block.m_nProcedure, kEcho);
        EXPECT_EQ(block.m_nReferenceNumber, reference);   // the channel stamps nothing
        ASSERT_EQ(block.m_nLength, length);
        for (std::int32_t i = 0; i < length; ++i) ASSERT_EQ(block.m_pData[i], i * 7 - 3);
    }
    StopPeer();
}

TEST_F(ChannelTest, RegionsHoldTheLayoutOfTheLastCallAndAnswer) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    CUdpDataBlockEx block(kHeader);
    block.m_nReferenceNumber = 77;
    ASSERT_TRUE(m_side->CallProcedure(&block, 1000));
    ASSERT_EQ(block.m_nLength, 2);
    EXPECT_EQ(block.m_pData[0], RP_CALL);   // the peer saw type 1 (type word before procedure)
    EXPECT_EQ(block.m_pData[1], 77);
    const std::int32_t* call = m_side->m_pSharedCall;
    const std::int32_t* answer = m_side->m_pSharedReturn;
    const std::int32_t expectedCall[] = {1, 16, RP_CALL, kHeader, 77, 0};
    const std::int32_t expectedAnswer[] = {2, 16 + 8, RP_RETURN, kHeader, 77, 2, RP_CALL, 77};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(call[i], expectedCall[i]) << "call word " << i;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(answer[i], expectedAnswer[i]) << "answer word " << i;
    StopPeer();
}

TEST_F(ChannelTest, LongAnswerReplacesTheBufferByOneOfExactlyItsLength) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    CUdpDataBlockEx block(kCounting);
    block.AppendLongData(3000);
    ASSERT_LT(block.m_nCapacity, 3000);
    ASSERT_TRUE(m_side->CallProcedure(&block, 1000));
    EXPECT_EQ(block.m_nCapacity, 3000);
    ASSERT_EQ(block.m_nLength, 3000);
    for (std::int32_t i = 0; i < 3000; ++i) ASSERT_EQ(block.m_pData[i], 3 * i + 1);
    // A shorter answer into the now larger buffer keeps it.
    block.Clear();
    block.m_nProcedure = kCounting;
    block.m_nType = RP_CALL;
    block.AppendLongData(4);
    ASSERT_TRUE(m_side->CallProcedure(&block, 1000));
    EXPECT_EQ(block.m_nCapacity, 3000);
    EXPECT_EQ(block.m_nLength, 4);
    StopPeer();
}

TEST_F(ChannelTest, ManyCallsInARowAllArrive) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    CUdpDataBlockEx block;
    for (std::int32_t i = 0; i < 500; ++i) {
        block.Clear();
        block.m_nProcedure = kEcho;
        block.m_nType = RP_CALL;
        block.AppendLongData(i);
        ASSERT_TRUE(m_side->CallProcedure(&block, 1000)) << "call " << i;
        ASSERT_EQ(block.m_nLength, 1);
        ASSERT_EQ(block.m_pData[0], i);
    }
    StopPeer();
}

TEST_F(ChannelTest, UnansweredCallFailsAfterOneToTwoSeconds) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    CUdpDataBlockEx block(kSilent);
    block.AppendLongData(5);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_side->CallProcedure(&block, 500));   // the time-out only bounds the post
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 10.0);
    EXPECT_EQ(block.m_nType, RP_CALL);   // unchanged
    EXPECT_EQ(block.m_nLength, 1);
    EXPECT_EQ(m_side->m_pSharedReturn[0], 1);   // still pending
    // The unanswered call holds the peer's telegram thread at the next call until its
    // signal is set; any process may set it.
    void* peerSignal = nullptr;
    ASSERT_EQ(memSignalOpen(m_peerPort, &peerSignal), 0);
    EXPECT_FALSE(talvex::IsEventSet(peerSignal));
    talvex::SetEvent(peerSignal);
    memSignalDestroy(peerSignal);
    StopPeer();
}

TEST_F(ChannelTest, PostsThatCannotBeDeliveredFailOnceTheTimeOutPassed) {
    ASSERT_TRUE(OpenOwnSide());
    ASSERT_EQ(m_side->m_nPeerThreadId, 0u);
    for (std::int32_t timeout : {60, 0, -1}) {
        SCOPED_TRACE(timeout);
        CUdpDataBlockEx block(kEcho);
        block.AppendLongData(9);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(m_side->CallProcedure(&block, timeout));
        const double waited = SecondsSince(start);
        if (timeout > 0) {
            EXPECT_GE(waited, 0.9 * timeout / 1000.0);
        }
        EXPECT_LT(waited, 0.9);   // never the answer wait: nothing was posted
        EXPECT_EQ(block.m_nType, RP_CALL);
        EXPECT_EQ(block.m_nLength, 1);
    }
}

TEST_F(ChannelTest, BlocksTooLargeForTheRegionAreRefusedWithoutWriting) {
    ASSERT_TRUE(OpenOwnSide(4096));
    m_side->m_nPeerThreadId = 1;   // never reached
    m_side->m_pSharedCall[5] = 12345;
    CUdpDataBlockEx block(kEcho);
    for (int i = 0; i < (4096 - 24) / 4 + 1; ++i) block.AppendLongData(i);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_side->CallProcedure(&block, 1000));
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(m_side->m_pSharedCall[5], 12345);
    // An answer too large is not written either, and returns 0.
    m_side->m_pSharedReturn[0] = 1;
    m_side->m_pSharedReturn[5] = 54321;
    EXPECT_EQ(m_side->SendReturn(&block), 0);
    EXPECT_EQ(m_side->m_pSharedReturn[0], 1);
    EXPECT_EQ(m_side->m_pSharedReturn[5], 54321);
    EXPECT_EQ(block.m_nType, RP_RETURN);
}

TEST_F(ChannelTest, DamagedCallsInTheRegionAreNotServed) {
    ASSERT_NO_FATAL_FAILURE(OpenChannel());
    void* peerSignal = nullptr;
    ASSERT_EQ(memSignalOpen(m_peerPort, &peerSignal), 0);
    for (std::int32_t badLength : {-5, 0x7FFFFFFF, kRegionBytes / 4}) {
        SCOPED_TRACE(badLength);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return talvex::IsEventSet(peerSignal); }, 5s));
        // Written and held under the lock until the peer has taken the telegram (its
        // signal reset), so the peer reads exactly this damaged call.
        memLock(m_side->m_hSharedLock);
        m_side->m_pSharedCall[2] = RP_CALL;
        m_side->m_pSharedCall[3] = kEcho;
        m_side->m_pSharedCall[5] = badLength;
        ASSERT_TRUE(talvex::PostThreadMessage(m_side->m_nPeerThreadId, WM_RP_TELEGRAM, 0, 0));
        EXPECT_TRUE(testsupport::WaitUntil([&] { return !talvex::IsEventSet(peerSignal); }, 5s));
        memUnlock(m_side->m_hSharedLock);
        // Refused: the peer sets its signal again without answering.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return talvex::IsEventSet(peerSignal); }, 5s));
        // The peer must still serve the next call normally.
        CUdpDataBlockEx block(kEcho);
        block.AppendLongData(badLength);
        ASSERT_TRUE(m_side->CallProcedure(&block, 1000));
        ASSERT_EQ(block.m_nLength, 1);
        EXPECT_EQ(block.m_pData[0], badLength);
    }
    memSignalDestroy(peerSignal);
    StopPeer();
}

TEST_F(ChannelTest, SecondSideAskingForMoreThanTheFilesHoldFails) {
    ASSERT_TRUE(OpenOwnSide(4096));
    std::string initLine;
    EXPECT_EQ(StartPeer(8192, false, &initLine), 0u);
    EXPECT_EQ(initLine, "init 0");
    EXPECT_EQ(m_peer->Wait(10s), 0);
}

TEST_F(ChannelTest, SideLeftHalfOpenNeverWritesPastItsRegions) {
    ASSERT_TRUE(OpenOwnSide(4096));
    EXPECT_TRUE(m_side->UnInitSharedMemory());
    // The call file holds 16384 bytes, the return file 4096: asking for 16384 fails
    // at the return region's length check, after both are mapped.
    fs::resize_file(m_directory / "chanS", 16384);
    EXPECT_FALSE(m_side->InitSharedMemory(Base(), 16384, m_key, true));
    ASSERT_NE(m_side->m_pSharedReturn, nullptr);
    m_side->EnableSharedMemory();
    m_side->m_nPeerThreadId = 1;
    CUdpDataBlockEx block(kEcho);
    for (int i = 0; i < 3000; ++i) block.AppendLongData(i);   // fits 16384 bytes, not 4096
    EXPECT_FALSE(m_side->CallProcedure(&block, 10));
    EXPECT_EQ(m_side->SendReturn(&block), 0);
    EXPECT_NE(m_side->m_pSharedReturn[0], 2);
}

TEST_F(ChannelTest, NonOwnerFirstCannotOpenTheLock) {
    EXPECT_FALSE(m_side->InitSharedMemory(Base(), 4096, m_key, false));
    // The region files were made before the lock failed.
    EXPECT_EQ(fs::file_size(m_directory / "chanS"), 4096u);
    EXPECT_EQ(fs::file_size(m_directory / "chanR"), 4096u);
    EXPECT_NE(m_side->m_pCallRegion, nullptr);
    EXPECT_EQ(m_side->m_pTelegramThread, nullptr);
    EXPECT_TRUE(m_side->UnInitSharedMemory());   // releases what exists
    EXPECT_EQ(m_side->m_pCallRegion, nullptr);
    EXPECT_EQ(m_side->m_pReturnRegion, nullptr);
    // The same side can then open the channel as the owner.
    EXPECT_TRUE(OpenOwnSide(4096));
}

TEST_F(ChannelTest, ReopeningWithTheSameNameAndKeyMapsTheOldContents) {
    ASSERT_TRUE(OpenOwnSide(4096));
    m_side->m_pSharedCall[100] = 0x5EED;
    m_side->m_pSharedReturn[200] = 0xFEED;
    EXPECT_TRUE(m_side->UnInitSharedMemory());
    EXPECT_EQ(m_side->m_pSharedCall, nullptr);
    EXPECT_EQ(m_side->m_nSharedKey, 0);
    EXPECT_EQ(m_side->m_strSharedName, Base());   // the name stays
    ASSERT_TRUE(OpenOwnSide(1024));               // files keep their 4096 bytes
    EXPECT_EQ(m_side->m_pSharedCall[100], 0x5EED);
    EXPECT_EQ(m_side->m_pSharedReturn[200], 0xFEED);
    EXPECT_EQ(memGetLength(&m_side->m_pCallRegion), 4096);
    EXPECT_FALSE(m_side->InitSharedMemory(Base(), 1024, m_key, true));   // already open
}

TEST_F(ChannelTest, ClosingAClosedSideIsHarmless) {
    EXPECT_TRUE(m_side->UnInitSharedMemory());
    EXPECT_TRUE(m_side->UnInitSharedMemory());
    CUdpDataBlockEx block(kEcho);
    m_side->EnableSharedMemory();
    EXPECT_FALSE(m_side->CallProcedure(&block, 10));   // no regions: refused
    EXPECT_EQ(m_side->SendReturn(&block), 0);
    m_side->DisableSharedMemory();
}

}  // namespace

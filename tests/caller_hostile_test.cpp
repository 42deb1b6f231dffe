// A caller facing senders it should not serve in full, over real loopback sockets:
// one call for a long answer from a socket that never acknowledges (what a forged
// source address looks like to the server), senders outside the networks AllowPeers
// names, and a flood of such calls beside a client that behaves.
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <future>
#include <map>
#include <mutex>

using namespace callertest;
using namespace std::chrono_literals;
using testsupport::Fd;

namespace {

constexpr int kChunkDatagramBytes = 16 + 16 + talvex::kChunkBytes;   // header, chunk header, data: 1416
constexpr std::int32_t kLongAnswerWords = 500000;                  // 1446 chunks
constexpr std::uint32_t kStranger = 0x7F000002u;                   // 127.0.0.2, on loopback without setup

// A UDP socket bound to `address` on a free port, with room for every datagram a test expects.
Fd BoundUdp(std::uint32_t address) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int buffer = 4 << 20;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in own = testsupport::LoopbackAddress(0);
    own.sin_addr.s_addr = htonl(address);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) fd.Reset();
    return fd;
}

// The raw 20-byte call: header (type, procedure, reference, end position 1 | total 1 << 16), one word.
void SendCall(const Fd& from, std::uint16_t port, std::int32_t type, std::int32_t reference, std::int32_t word) {
    const std::int32_t call[5] = {type, kProcEcho, reference, 1 | (1 << 16), word};
    testsupport::SendTo(from, port, call, sizeof call);
}

// Every datagram that reaches `fd` within `during` (at most 10,000).
std::vector<std::vector<std::int32_t>> Received(const Fd& fd, std::chrono::milliseconds during) {
    std::vector<std::vector<std::int32_t>> all;
    const auto end = std::chrono::steady_clock::now() + during;
    for (auto now = std::chrono::steady_clock::now(); now < end && all.size() < 10000; now = std::chrono::steady_clock::now()) {
        pollfd ready{fd.Get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count())) <= 0) continue;
        std::vector<std::int32_t> words(1024);
        const ssize_t bytes = ::recv(fd.Get(), words.data(), words.size() * 4, 0);
        words.resize(std::max<std::size_t>(8, static_cast<std::size_t>(std::max<ssize_t>(bytes, 0) + 3) / 4));   // a header at least
        words.push_back(static_cast<std::int32_t>(bytes));   // the size, last
        all.push_back(std::move(words));
    }
    return all;
}

// The diagnostic lines of the test's lifetime.
struct Diagnostics {
    Diagnostics() {
        talvex::SetDiagnosticSink([](const char* line, void* self) {
            auto* lines = static_cast<Diagnostics*>(self);
            std::scoped_lock hold(lines->lock);
            lines->all.emplace_back(line);
        }, this);
    }
    ~Diagnostics() { talvex::SetDiagnosticSink(nullptr, nullptr); }
    bool Arrives(const std::string& line) {
        return testsupport::WaitUntil([&] {
            std::scoped_lock hold(lock);
            return std::find(all.begin(), all.end(), line) != all.end();
        }, 2s);
    }
    std::mutex lock;
    std::vector<std::string> all;
};

// The bound of amplification, exactly: a 20-byte call whose sender never acknowledges
// gets the first two chunks of its 500,000-word answer (2 x 1416 bytes) and nothing
// else, no final return either; the answer is cut short at 500 ms, counted and told.
TEST(HostileSenders, ACallForALongAnswerFromASilentSocketGetsTwoChunksAndIsCutShort) {
    Diagnostics diagnostics;
    auto owned = std::make_unique<TestCallerEx>();   // about 40 MB: on the heap
    TestCallerEx& server = *owned;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    const Fd silent = BoundUdp(kLoopback);
    SendCall(silent, server.GetMyUDPPort(), RP_CALL, 777, kLongAnswerWords);
    const auto got = Received(silent, 1000ms);
    ASSERT_EQ(2u, got.size());
    for (std::int32_t index = 0; index < 2; ++index) {
        const std::vector<std::int32_t>& chunk = got[static_cast<std::size_t>(index)];
        EXPECT_EQ(kChunkDatagramBytes, chunk.back());
        EXPECT_EQ((std::vector<std::int32_t>{RP_MULTI_RETURN, kProcEcho, 777}), std::vector<std::int32_t>(chunk.begin(), chunk.begin() + 3));
        EXPECT_EQ((std::vector<std::int32_t>{1446, index}), std::vector<std::int32_t>({chunk[5], chunk[6]})) << "chunk count, index";
    }
    EXPECT_TRUE(testsupport::WaitUntil([&] { return server.GetCounters().answers_cut_short == 1; }, 2s));
    EXPECT_EQ(2u, server.GetCounters().chunks_sent);
    EXPECT_TRUE(diagnostics.Arrives("Answer 777 to 127.0.0.1:" + std::to_string(testsupport::LocalPort(silent)) +
                                    ": none of its first chunks acknowledged within 500 ms; the other 1444 chunks are not sent"));

    // A forger that acknowledges once (it knows the numbers: it wrote them) buys two more
    // chunks, and one more pair when the window stalls: never the window of 128.
    SendCall(silent, server.GetMyUDPPort(), RP_CALL, 778, kLongAnswerWords);
    ASSERT_EQ(2u, Received(silent, 200ms).size());
    const std::int32_t acknowledgement[4] = {RP_RETURN, kProcEcho, 778, 0};
    testsupport::SendTo(silent, server.GetMyUDPPort(), acknowledgement, sizeof acknowledgement);
    EXPECT_EQ(4u, Received(silent, 2500ms).size()) << "two for the acknowledgement, two after the stall";
}

// AllowPeers("127.0.0.1/32"): a caller on 127.0.0.2 gets no answer to a call or a ping,
// and its broadcast to the broadcast port reaches no hook, while a caller on 127.0.0.1 is
// served; each refused datagram is counted. A malformed list is refused and changes
// nothing; a range lets 127.0.0.2 in, and so does "".
TEST(HostileSenders, AllowPeersDropsEveryOtherSourceOnBothSockets) {
    const std::uint16_t broadcastPort = testsupport::LocalPort(testsupport::BoundLoopback(SOCK_DGRAM));   // free, then released
    const auto owned = std::make_unique<std::array<TestCallerEx, 3>>();
    auto& [server, friendly, stranger] = *owned;
    server.broadcastAnswer = 42;
    ASSERT_TRUE(server.AllowPeers("127.0.0.1/32"));
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", broadcastPort));
    ASSERT_TRUE(friendly.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    ASSERT_TRUE(stranger.StartDispatchThread(0, L"127.0.0.1", "127.0.0.2", 0));
    for (TestCallerEx* client : {&friendly, &stranger}) client->SetRemoteSocket(server.GetMyUDPPort(), kLoopback);
    const auto answered = [&](TestCallerEx& client, std::int32_t seed) {
        CUdpDataBlockEx call = EchoCall(5, seed);
        return client.CallProcedure(&call, 300) && HoldsPattern(call, 5, seed);
    };
    const auto broadcastAnswered = [&](std::uint32_t from) {
        const Fd raw = BoundUdp(from);
        SendCall(raw, broadcastPort, RP_BROADCAST, 9, 0);
        const auto got = Received(raw, 200ms);
        return got.size() == 1 && got[0][0] == RP_BROADCAST_RETURN && got[0][4] == 42;
    };

    EXPECT_TRUE(answered(friendly, 1));
    friendly.Ping();
    EXPECT_TRUE(friendly.IsActive());
    EXPECT_TRUE(broadcastAnswered(kLoopback));
    EXPECT_FALSE(answered(stranger, 2));
    stranger.Ping();
    EXPECT_FALSE(stranger.IsActive());
    EXPECT_FALSE(broadcastAnswered(kStranger));
    EXPECT_EQ(1, server.callsServed.load());
    EXPECT_EQ(3u, server.GetCounters().refused_sources);

    for (const char* malformed : {"127.0.0.1/33", "127.0.0.1,", "localhost", "10.0.0.0/8;127.0.0.2", "127.0.0.2/"})
        EXPECT_FALSE(server.AllowPeers(malformed)) << malformed;
    EXPECT_FALSE(answered(stranger, 3)) << "a malformed list leaves the one before in force";
    EXPECT_EQ(4u, server.GetCounters().refused_sources);
    ASSERT_TRUE(server.AllowPeers(" 10.0.0.0/8, 127.0.0.0/30 "));
    EXPECT_TRUE(answered(stranger, 4));
    ASSERT_TRUE(server.AllowPeers("127.0.0.1"));
    EXPECT_FALSE(answered(stranger, 5));
    ASSERT_TRUE(server.AllowPeers(""));
    EXPECT_TRUE(answered(stranger, 6));
    EXPECT_TRUE(broadcastAnswered(kStranger));
    EXPECT_EQ(5u, server.GetCounters().refused_sources);
}

// One sender calls the server four times a second for 500,000-word answers from a
// socket that never acknowledges, while a client that behaves keeps calling it: short
// calls, calls for chunked answers (6 chunks) and chunked calls (3 chunks). Every answer
// toward the sender stops after its first two chunks, and the client must get its own
// right answer to every call within its time-out.
TEST(HostileSenders, AClientIsServedWhileASilentSocketCallsForLongAnswers) {
    const auto owned = std::make_unique<std::array<TestCallerEx, 2>>();
    auto& [server, client] = *owned;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    ASSERT_TRUE(client.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    client.SetRemoteSocket(server.GetMyUDPPort(), kLoopback);
    client.SetMultiTarget(server.GetMyUDPPort(), kLoopback);
    const Fd silent = BoundUdp(kLoopback);
    auto toSilent = std::async(std::launch::async, [&] { return Received(silent, 3000ms); });
    auto calling = std::async(std::launch::async, [&] {
        for (std::int32_t call = 0; call < 10; ++call, std::this_thread::sleep_for(250ms))
            SendCall(silent, server.GetMyUDPPort(), RP_CALL, 1000 + call, kLongAnswerWords);
    });
    int right = 0, wrong = 0, late = 0, calls = 0;
    for (const auto end = std::chrono::steady_clock::now() + 2500ms; calls < 300 && std::chrono::steady_clock::now() < end; ++calls) {
        const int kind = calls % 3;   // a short answer, a chunked answer, a chunked call answered with its length
        std::unique_ptr<CUdpDataBlockEx> call = kind == 2 ? PatternCall(kProcRecord, 1000, calls)
                                                          : std::make_unique<CUdpDataBlockEx>(EchoCall(kind == 0 ? 5 : 2000, calls));
        const auto start = std::chrono::steady_clock::now();
        const bool answered = client.CallProcedure(call.get(), 1000);
        late += std::chrono::steady_clock::now() - start > (kind == 2 ? 10s : 1500ms);   // 3 tries of 3 chunks, or one wait
        const bool own = kind == 2 ? call->m_nLength == 1 && call->m_pData[0] == 1000 : HoldsPattern(*call, kind == 0 ? 5 : 2000, calls);
        right += answered && own, wrong += answered && !own;
    }
    calling.get();
    std::map<std::int32_t, int> chunksPerAnswer;   // by the call's reference number
    std::size_t bytes = 0, strays = 0;
    for (const auto& datagram : toSilent.get()) {
        bytes += static_cast<std::size_t>(datagram.back());
        const bool firstChunks = datagram[0] == RP_MULTI_RETURN && datagram[6] < 2 && datagram.back() == kChunkDatagramBytes;
        firstChunks ? ++chunksPerAnswer[datagram[2]] : ++strays;
    }
    std::printf("silent socket: 10 calls, %zu answers begun, %zu bytes; client: %d calls, %d right\n",
                chunksPerAnswer.size(), bytes, calls, right);
    EXPECT_EQ(0u, strays) << "only chunks 0 and 1 go toward the silent socket";
    for (const auto& [reference, chunks] : chunksPerAnswer) EXPECT_LE(chunks, 2) << reference;
    EXPECT_EQ(0, wrong + late);
    EXPECT_EQ(calls, right);
}

}  // namespace

// Throughput of chunked transfers between two extended callers on loopback, beside
// a raw UDP stop-and-wait transfer of full-size datagrams, and the cost of one
// received chunk early and late in a caller's life.
#include <Talvex05u.h>

#include "caller/DatagramSeam.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kMiB = 1 << 20;
constexpr std::int32_t kProcLength = 1;    // answers one word: the call's length
constexpr std::int32_t kProcChunked = 2;   // answers N words (first word) through CRP_CallerEx::SendReturn
constexpr std::int32_t kProcPlain = 3;     // answers N words through CRP_Caller::SendReturn (pulled packets)
constexpr int kRuns = 5;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class BenchServer : public CRP_CallerEx {
public:
    ~BenchServer() override { StopDispatchThread(); }
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        const std::int32_t length = block->m_nLength;
        const std::int32_t asked = block->GetLongData();
        block->ResetForReturn();
        if (block->m_nProcedure == kProcLength) {
            block->AppendLongData(length);
            SendReturn(block);
            return;
        }
        block->CheckBufferSize(asked);
        for (std::int32_t i = 0; i < asked; ++i) block->AppendLongData(i);
        if (block->m_nProcedure == kProcPlain) {
            CRP_Caller::SendReturn(block);
        } else {
            SendReturn(block);
        }
    }
};

// Best MB/s of `runs` transfers of `bytes` payload bytes, each timed by `once` (false = failed run).
template <typename F>
double BestMegabytesPerSecond(std::int64_t bytes, F once) {
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        if (!once()) continue;
        best = std::max(best, static_cast<double>(bytes) / 1e6 / Seconds(Clock::now() - start));
    }
    return best;
}

// Raw UDP stop-and-wait: 1416-byte datagrams, each answered with 16 bytes.
double RawStopAndWait() {
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address);
    bind(sender, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    const std::int32_t datagrams = (kMiB + kChunkBytes - 1) / kChunkBytes;
    std::thread echo([&] {
        char buffer[2048];
        for (std::int64_t i = 0; i < static_cast<std::int64_t>(datagrams) * kRuns; ++i) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            if (recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength) < 0) break;
            sendto(receiver, buffer, 16, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    });
    char packet[kMaxPacketBytes] = {};
    char answer[64];
    const double result = BestMegabytesPerSecond(kMiB, [&] {
        for (std::int32_t i = 0; i < datagrams; ++i) {
            sendto(sender, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
            if (recv(sender, answer, sizeof answer, 0) < 0) return false;
        }
        return true;
    });
    echo.join();
    close(sender);
    close(receiver);
    return result;
}

// A call block of `words` words whose first word is `first`.
std::unique_ptr<CUdpDataBlockEx> CallOf(std::int32_t procedure, std::int32_t words, std::int32_t first) {
    auto block = std::make_unique<CUdpDataBlockEx>(procedure);
    block->CheckBufferSize(words);
    block->AppendLongData(first);
    for (std::int32_t i = 1; i < words; ++i) block->AppendLongData(i);
    return block;
}

// The cost of one received chunk over the first 1,000 chunks and over 1,000 chunks
// after 100,000, fed straight into the dispatcher's per-datagram logic.
void ChunkCostOverTime() {
    class Discard : public talvex::DatagramSink {
        void OnSend(const std::int32_t*, int, const CSockAddr&) override {}
    } sink;
    auto caller = std::make_unique<BenchServer>();
    talvex::DatagramSeam::InstallSink(*caller, &sink);
    const CSockAddr sender(kLoopback, 40000);
    std::vector<std::int32_t> packet(4 + 4 + kChunkWords, 0);
    constexpr std::int32_t kChunksPerTransfer = 10;
    std::int32_t reference = 1;
    std::int32_t index = 0;
    // Every fifth transfer loses its last chunk and stays open, so the index is not empty.
    auto feedOne = [&] {
        const bool skipLast = reference % 5 == 0 && index == kChunksPerTransfer - 1;
        if (!skipLast) {
            packet[0] = RP_MULTI_CALL;
            packet[1] = kProcLength;
            packet[2] = reference;
            packet[3] = 350 | (350 << 16);
            packet[4] = reference;
            packet[5] = kChunksPerTransfer;
            packet[6] = index;
            packet[7] = kChunkBytes;
            talvex::DatagramSeam::Handle(*caller, packet.data(), kMaxPacketBytes, sender);
        }
        if (++index == kChunksPerTransfer) {
            index = 0;
            ++reference;
        }
    };
    auto timeThousand = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < 1000; ++i) feedOne();
        return Seconds(Clock::now() - start) / 1000;
    };
    const double early = timeThousand();
    for (int i = 0; i < 99000; ++i) feedOne();
    double late = timeThousand();
    late = std::min(late, timeThousand());
    std::printf("chunk cost: first 1,000 %.2f us/chunk, after 100,000 %.2f us/chunk, ratio %.2f (index %zu entries)\n",
                early * 1e6, late * 1e6, late / early, caller->m_mapChunks.size());
}

}  // namespace

int main() {
    auto server = std::make_unique<BenchServer>();
    auto client = std::make_unique<BenchServer>();
    if (!server->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0) ||
        !client->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) {
        std::fprintf(stderr, "callers did not start\n");
        return 1;
    }
    const unsigned short port = server->GetMyUDPPort();
    client->SetMultiTarget(port, kLoopback);
    client->SetRemoteSocket(port, kLoopback);

    const double raw = RawStopAndWait();
    const std::int32_t mibWords = kMiB / 4;
    const double call = BestMegabytesPerSecond(kMiB, [&] {
        auto block = CallOf(kProcLength, mibWords, 0);
        return client->CallProcedure(block.get(), 5000) && block->GetLongData() == mibWords;
    });
    const double chunkedReturn = BestMegabytesPerSecond(kMiB, [&] {
        auto block = CallOf(kProcChunked, 1, mibWords);
        return client->CallProcedure(block.get(), 5000) && block->m_nLength == mibWords;
    });
    const std::int32_t plainWords = kMaxFramedWords;
    const double plainReturn = BestMegabytesPerSecond(static_cast<std::int64_t>(plainWords) * 4, [&] {
        auto block = CallOf(kProcPlain, 1, plainWords);
        return client->CRP_Caller::CallProcedure(block.get(), 5000) && block->m_nLength == plainWords;
    });
    std::printf("raw UDP stop-and-wait, 1416-byte datagrams: %8.1f MB/s\n", raw);
    std::printf("chunked call, 1 MiB:                        %8.1f MB/s (%.2f of raw)\n", call, call / raw);
    std::printf("chunked return, 1 MiB:                      %8.1f MB/s (%.2f of raw)\n", chunkedReturn,
                chunkedReturn / raw);
    std::printf("pulled plain return, 32767 words:           %8.1f MB/s (%.2f of raw)\n", plainReturn,
                plainReturn / raw);
    client->StopDispatchThread();
    server->StopDispatchThread();
    ChunkCostOverTime();
    return 0;
}

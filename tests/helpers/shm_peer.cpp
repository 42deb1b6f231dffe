// The answering side of a shared-memory channel in a second process. It opens the
// channel, prints "init 1" (or "init 0" when InitSharedMemory fails) and then
// "tid <telegram thread id>", and serves procedures until it is told to quit.
// Usage: shm_peer <base path> <size> <key> <lock owner 0|1> <own port>
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

// Procedures served; the test uses the same numbers.
constexpr std::int32_t kEcho = 1;          // answers with the call's own data words
constexpr std::int32_t kCounting = 2;      // argument n: answers with n words 1, 4, 7, ...
constexpr std::int32_t kSilent = 3;        // never answers
constexpr std::int32_t kHeader = 4;        // answers with the call's type and reference number
constexpr std::int32_t kQuit = 99;         // answers, then the peer closes the channel and ends

class AnsweringSide : public CRP_CallerEx {
public:
    explicit AnsweringSide(unsigned short port) : CRP_CallerEx(port) {}
    std::atomic<bool> m_quit{false};

    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        switch (block->m_nProcedure) {
        case kEcho: {
            const std::int32_t length = block->m_nLength;
            block->ResetForReturn();
            block->m_nLength = length;   // the data words are still in the buffer
            SendReturn(block);
            break;
        }
        case kCounting: {
            const std::int32_t count = block->GetLongData();
            block->ResetForReturn();
            for (std::int32_t i = 0; i < count; ++i) block->AppendLongData(3 * i + 1);
            SendReturn(block);
            break;
        }
        case kHeader: {
            const std::int32_t type = block->m_nType;
            block->ResetForReturn();
            block->AppendLongData(type);
            block->AppendLongData(block->m_nReferenceNumber);
            SendReturn(block);
            break;
        }
        case kSilent:
            break;
        case kQuit:
            block->ResetForReturn();
            SendReturn(block);
            m_quit = true;
            break;
        default:
            block->ResetForReturn();
            block->AppendLongData(-1);
            SendReturn(block);
        }
    }
};

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) return 2;
    const std::string base = argv[1];
    const int size = std::atoi(argv[2]);
    const int key = std::atoi(argv[3]);
    const bool owner = std::atoi(argv[4]) != 0;
    const auto port = static_cast<unsigned short>(std::atoi(argv[5]));

    auto side = std::make_unique<AnsweringSide>(port);
    // On before the telegram thread starts, so that its SendReturn takes the channel.
    side->EnableSharedMemory();
    const bool opened = side->InitSharedMemory(CString(std::wstring(base.begin(), base.end())), size, key, owner);
    std::printf("init %d\n", opened ? 1 : 0);
    std::fflush(stdout);
    if (!opened) {
        side->UnInitSharedMemory();
        return 0;
    }
    // The telegram thread sets its signal once its queue exists and it can serve.
    WaitFor([&] { return talvex::IsEventSet(side->m_hTelegramSignal); }, std::chrono::seconds(10));
    std::printf("tid %u\n", side->m_pTelegramThread->m_nThreadID);
    std::fflush(stdout);
    // Serves until told to quit; a test that vanished ends it after a minute.
    WaitFor([&] { return side->m_quit.load(); }, std::chrono::seconds(60));
    side->UnInitSharedMemory();
    std::printf("closed\n");
    std::fflush(stdout);
    return 0;
}

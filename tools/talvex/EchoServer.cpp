#include "EchoServer.h"

#include "Address.h"
#include "ValueParser.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace cli {

namespace {

// Words of a received block that really arrived. A call put together from
// packets may announce more words than its one packet brought (a plain caller
// never pulls the rest of a call); a reassembled chunked call and a call through
// shared memory hold all of theirs.
std::int32_t ReceivedWords(const CUdpDataBlockEx& block) {
    std::int32_t words = DataWords(block);
    bool partialPacketCall = block.m_nType != RP_MULTI_CALL && block.m_nPacketPos > 0 && block.m_nPacketPos < words;
    return partialPacketCall ? block.m_nPacketPos : words;
}

std::string SenderText(const CSockAddr& sender) { return DottedAddress(sender.IPAddr()) + ":" + std::to_string(sender.Port()); }

ServedCall Describe(const CUdpDataBlockEx& block, std::string from) {
    ServedCall served;
    served.from = std::move(from);
    served.type = block.m_nType;
    served.procedure = block.m_nProcedure;
    served.reference = block.m_nReferenceNumber;
    served.words = ReceivedWords(block);
    if (served.words < DataWords(block)) {
        served.note = "only " + std::to_string(served.words) + " of " + std::to_string(DataWords(block)) +
                      " words arrived (a plain caller takes calls of one packet)";
    }
    return served;
}

// Serves one block: builds the answer and hands it to `send`, then tells the observer.
template <class SendAnswer>
void Serve(EchoProcedures& procedures, const ServedCallObserver& observer, CUdpDataBlockEx* block,
           std::string from, std::int32_t maxCount, SendAnswer&& send) {
    ServedCall served = Describe(*block, std::move(from));
    if (procedures.BuildAnswer(block, maxCount, &served)) {
        served.answerWords = block->m_nLength;
        send(block);
    }
    if (observer) observer(served);
}

}  // namespace

const char* MessageTypeName(std::int32_t type) {
    switch (type) {
    case RP_CALL: return "call";
    case RP_RETURN: return "return";
    case RP_BROADCAST: return "broadcast";
    case RP_BROADCAST_RETURN: return "broadcast-return";
    case RP_MULTI_CALL: return "chunked-call";
    case RP_MULTI_RETURN: return "chunked-return";
    default: return "other";
    }
}

std::string FormatServedCall(const ServedCall& served) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    std::string line = std::string(stamp) + " from " + served.from + " " + MessageTypeName(served.type) +
                       " proc=" + std::to_string(served.procedure) + " ref=" + std::to_string(served.reference) +
                       " words=" + std::to_string(served.words);
    line += served.answerWords >= 0 ? " -> answered " + std::to_string(served.answerWords) + " words" : " -> no answer";
    if (!served.note.empty()) line += " (" + served.note + ")";
    return line;
}

ServedCallObserver PrintingObserver() {
    static std::mutex outputLock;
    return [](const ServedCall& served) {
        std::string line = FormatServedCall(served);
        std::lock_guard<std::mutex> hold(outputLock);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
}

bool EchoProcedures::BuildAnswer(CUdpDataBlockEx* block, std::int32_t maxCount, ServedCall* served) {
    std::lock_guard<std::mutex> hold(m_lock);
    switch (block->m_nProcedure) {
    case kEchoProcedure: return BuildEcho(block, served);
    case kCountProcedure: return BuildCount(block, maxCount, served);
    default:
        if (served->note.empty()) served->note = "no such procedure";
        return false;
    }
}

bool EchoProcedures::BuildEcho(CUdpDataBlockEx* block, ServedCall* served) {
    std::int32_t words = served->words;
    m_arguments.assign(block->m_pData, block->m_pData + words);
    block->ResetForReturn();
    if (!block->CheckBufferSize(words)) {
        served->note = "no memory for the answer";
        return false;
    }
    for (std::int32_t word : m_arguments) block->AppendLongData(word);
    return true;
}

bool EchoProcedures::BuildCount(CUdpDataBlockEx* block, std::int32_t maxCount, ServedCall* served) {
    if (served->words < 1) {
        served->note = "count wants one 32-bit n";
        return false;
    }
    block->ResetReadPos();
    std::int32_t n = block->GetLongData();
    if (n < 0 || n > maxCount) {
        served->note = "count wants 0 <= n <= " + std::to_string(maxCount) + ", got " + std::to_string(n);
        return false;
    }
    block->ResetForReturn();
    if (!block->CheckBufferSize(n)) {
        served->note = "no memory for the answer";
        return false;
    }
    for (std::int32_t i = 0; i < n; ++i) block->AppendLongData(i);
    return true;
}

EchoServerEx::EchoServerEx(unsigned short port, ServedCallObserver observer)
    : CRP_CallerEx(port), m_observer(std::move(observer)) {}

void EchoServerEx::DoRemoteFunction(CUdpDataBlockEx* block) {
    std::string from = m_servingSharedMemory ? std::string("shared memory") : SenderText(m_addrLastSender);
    Serve(m_procedures, m_observer, block, std::move(from), kMaxChunkedCount,
          [this](CUdpDataBlockEx* answer) { CRP_CallerEx::SendReturn(answer); });
}

void EchoServerEx::EnableSharedMemoryServing() {
    m_servingSharedMemory = true;
    EnableSharedMemory();
}

void EchoServerEx::DoBroadCastFunction(CUdpDataBlockEx* block) {
    // A broadcast answer is one packet: the broadcaster keeps the first packet of each answer.
    Serve(m_procedures, m_observer, block, SenderText(m_addrLastSender), kMaxPulledCount,
          [this](CUdpDataBlockEx* answer) { CRP_Caller::SendReturn(answer); });
}

EchoServerPlain::EchoServerPlain(unsigned short port, ServedCallObserver observer)
    : CRP_Caller(port), m_observer(std::move(observer)) {}

void EchoServerPlain::DoRemoteFunction(CUdpDataBlockEx* block) {
    Serve(m_procedures, m_observer, block, SenderText(m_addrLastSender), kMaxPulledCount,
          [this](CUdpDataBlockEx* answer) { SendReturn(answer); });
}

void EchoServerPlain::DoBroadCastFunction(CUdpDataBlockEx* block) {
    Serve(m_procedures, m_observer, block, SenderText(m_addrLastSender), kMaxPulledCount,
          [this](CUdpDataBlockEx* answer) { SendReturn(answer); });
}

}  // namespace cli

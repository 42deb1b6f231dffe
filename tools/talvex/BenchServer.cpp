#include "BenchServer.h"

namespace bench {

BenchServer::~BenchServer() { StopDispatchThread(); }

void BenchServer::DoRemoteFunction(CUdpDataBlockEx* block) {
    ++m_nServed;
    const std::int32_t length = block->m_nLength;
    const std::int32_t first = length > 0 ? block->GetLongData() : 0;
    switch (block->m_nProcedure) {
    case kProcEcho:
        // The data words stay in the buffer: the return carries them back unchanged.
        block->ResetForReturn();
        block->m_nLength = length;
        SendReturn(block);
        return;
    case kProcLength:
        block->ResetForReturn();
        block->AppendLongData(length);
        SendReturn(block);
        return;
    case kProcChunked:
    case kProcPulled:
        AnswerWords(block, first, block->m_nProcedure == kProcPulled);
        return;
    default:
        block->ResetForReturn();
        SendReturn(block);
        return;
    }
}

void BenchServer::AnswerWords(CUdpDataBlockEx* block, std::int32_t words, bool pulled) {
    block->ResetForReturn();
    if (words < 0 || !block->CheckBufferSize(words)) words = 0;
    block->m_nLength = words;   // the buffer's words are the answer; their values do not matter here
    if (pulled) {
        CRP_Caller::SendReturn(block);
    } else {
        SendReturn(block);
    }
}

std::unique_ptr<BenchServer> StartBenchServer(unsigned short broadcastPort) {
    auto server = std::make_unique<BenchServer>();
    if (!server->StartDispatchThread(0, CString(L"127.0.0.1"), "", broadcastPort)) return nullptr;
    return server;
}

CUdpDataBlockEx MakeCall(std::int32_t procedure, std::int32_t words, std::int32_t first) {
    CUdpDataBlockEx block(procedure);
    block.CheckBufferSize(words);
    for (std::int32_t i = 0; i < words; ++i) block.AppendLongData(i == 0 ? first : i);
    return block;
}

}  // namespace bench

// Faults the fuzzers found, reproduced through the dispatcher's seam as regression tests.
// Inputs: tests/data/dispatcher_fuzz/ (replay: dispatcher_fuzz <file>).
#include "caller/DatagramSeam.h"
#include "talvex05u/caller/RP_CallerEx.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class NullSink : public talvex::DatagramSink {
public:
    void OnSend(const std::int32_t*, int, const CSockAddr&) override {}
};

// Records the first two argument words of every call its hook sees.
class RecordingCallerEx : public CRP_CallerEx {
public:
    void DoRemoteFunction(CUdpDataBlockEx* block) override { calls.push_back({block->GetLongData(), block->GetLongData()}); }
    std::vector<std::vector<std::int32_t>> calls;
};

class FuzzFindings : public ::testing::Test {
protected:
    void SetUp() override { talvex::DatagramSeam::InstallSink(caller, &sink); }
    void Feed(std::vector<std::int32_t> words, int bytes, std::uint16_t fromPort) {
        words.resize(512, 0);
        talvex::DatagramSeam::Handle(caller, words.data(), bytes, CSockAddr(0x7F000001u, fromPort));
    }
    NullSink sink;
    RecordingCallerEx caller;
};

// A chunk packet the data block refuses (positions not starting at 0) must not be
// read from the working block's earlier content: another sender's chunk.
TEST_F(FuzzFindings, RefusedChunkPacketIsNotReadFromAnEarlierDatagram) {
    Feed({RP_MULTI_CALL, 9, 1, 6 | (6 << 16), 5000, 1, 0, 8, 111, 222}, 40, 4001);  // complete one-chunk call
    ASSERT_EQ(1u, caller.calls.size());
    Feed({RP_MULTI_CALL, 9, 2, 5 | (350 << 16)}, 16, 4002);  // bare header: 350 words from position 5
    EXPECT_EQ(1u, caller.calls.size()) << "the earlier sender's chunk was reassembled again";
}

// A plain call whose header announces words it does not carry.
TEST_F(FuzzFindings, CallThatCarriesNoWordsDoesNotSeeAnEarlierCallsWords) {
    Feed({RP_CALL, 9, 1, 2 | (2 << 16), 111, 222}, 24, 4001);
    Feed({RP_CALL, 9, 2, 0 | (2 << 16)}, 16, 4002);
    ASSERT_EQ(2u, caller.calls.size());
    EXPECT_NE(111, caller.calls[1][0]) << "the second sender's call reads the first sender's arguments";
}

}  // namespace

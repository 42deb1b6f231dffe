// Reproductions of faults the fuzzers found, through the dispatcher's seam. Each
// stays DISABLED_ until its fix is in; the fuzz input it came from lies in
// tests/data/dispatcher_fuzz/ (replay: dispatcher_fuzz <file>).
#include "caller/DatagramSeam.h"
#include "talvex05u/caller/RP_CallerEx.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001u;

class NullSink : public talvex::DatagramSink {
public:
    void OnSend(const std::int32_t*, int, const CSockAddr& destination) override { sentTo.push_back(destination.Port()); }
    std::vector<std::uint16_t> sentTo;
};

// Records the arguments of every call its hook sees.
class RecordingCallerEx : public CRP_CallerEx {
public:
    void DoRemoteFunction(CUdpDataBlockEx* block) override
    {
        std::vector<std::int32_t> words;
        for (std::int32_t i = 0; i < 2; ++i)
            words.push_back(block->GetLongData());
        calls.push_back(words);
    }
    std::vector<std::vector<std::int32_t>> calls;
};

class FuzzFindings : public ::testing::Test {
protected:
    void SetUp() override { talvex::DatagramSeam::InstallSink(*caller, &sink); }
    void Feed(std::vector<std::int32_t> words, int bytes, std::uint16_t fromPort)
    {
        words.resize(512, 0);
        talvex::DatagramSeam::Handle(*caller, words.data(), bytes, CSockAddr(kLoopback, fromPort));
    }
    std::unique_ptr<RecordingCallerEx> caller = std::make_unique<RecordingCallerEx>();
    NullSink sink;
};

// A chunk whose packet the data block refuses (its positions do not start at 0)
// is read from what the working block held before: here the chunk of another
// sender, whose call is then served a second time on behalf of the new sender.
TEST_F(FuzzFindings, DISABLED_RefusedChunkPacketIsNotReadFromAnEarlierDatagram)
{
    // Sender 4001: a complete one-chunk call of two words (111, 222).
    Feed({RP_MULTI_CALL, 9, 1, 6 | (6 << 16), 5000, 1, 0, 8, 111, 222}, 40, 4001);
    ASSERT_EQ(1u, caller->calls.size());
    // Sender 4002: a bare 16-byte header announcing 350 words from position 5.
    Feed({RP_MULTI_CALL, 9, 2, 5 | (350 << 16)}, 16, 4002);
    EXPECT_EQ(1u, caller->calls.size()) << "the earlier sender's chunk was reassembled again";
}

// The same for a plain call: a header that announces words it does not carry lets
// the hook read the earlier call's arguments.
TEST_F(FuzzFindings, DISABLED_CallThatCarriesNoWordsDoesNotSeeAnEarlierCallsWords)
{
    Feed({RP_CALL, 9, 1, 2 | (2 << 16), 111, 222}, 24, 4001);
    Feed({RP_CALL, 9, 2, 0 | (2 << 16)}, 16, 4002);
    ASSERT_EQ(2u, caller->calls.size());
    EXPECT_NE(111, caller->calls[1][0]) << "the second sender's call reads the first sender's arguments";
}

}  // namespace

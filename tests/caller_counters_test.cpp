// A caller's counters, exactly: calls that are answered, time out or are broken off,
// malformed datagrams and a late return (the chunk counters are caller_ex_test's);
// the published page as `talvex stat` and another user see it.
#include "caller/CounterPage.h"
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sys/mman.h>
#include <sys/stat.h>

using namespace callertest;
using namespace std::chrono_literals;

namespace {

void ExpectCounters(const talvex::CallerCounters& expected, const talvex::CallerCounters& actual) {
    const auto want = talvex::CounterValues(expected), got = talvex::CounterValues(actual);
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(want[i], got[i]) << talvex::CounterNames()[i];
}

TEST(CallerCounters, CountCallsEndsMalformedDatagramsAndALateReturn) {
    TestCaller server, client;
    ASSERT_TRUE(server.StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0));
    ASSERT_TRUE(client.StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0));
    CSockAddr to(kLoopback, server.GetMyUDPPort());
    for (int i = 0; i < 5; ++i) {   // 5 answered calls of 24 bytes, answers of 20
        CUdpDataBlockEx echo = EchoCall(1, i);
        ASSERT_TRUE(client.CallProcedure(&to, &echo, 2000));
    }
    for (int i = 0; i < 2; ++i) {   // 2 calls of 16 bytes time out
        CUdpDataBlockEx silent(kProcSilent);
        EXPECT_FALSE(client.CallProcedure(&to, &silent, 50));
    }
    client.BreakActiveCall();   // and one is broken off
    CUdpDataBlockEx silent(kProcSilent);
    client.CallProcedure(&to, &silent, 5000);
    client.SetRemoteSocket(server.GetMyUDPPort(), kLoopback);
    CUdpDataBlockEx event(kProcEvent);
    event.AppendLongData(7);
    client.SendEvent(&event);
    client.Ping();   // 16 bytes each way
    CUdpDataBlockEx late(kProcSleep);   // answered 150 ms after the call gave up
    late.AppendLongData(150);
    EXPECT_FALSE(client.CallProcedure(&to, &late, 50));
    const testsupport::Fd raw = testsupport::BoundLoopback(SOCK_DGRAM);
    const std::int32_t malformed[3][4] = {{RP_CALL}, {99, 0, 0, 0}, {0, 0, 0, 0}};   // too short, two unknown types
    for (int i = 0; i < 3; ++i) testsupport::SendTo(raw, client.GetMyUDPPort(), malformed[i], i == 0 ? 2 : 16);
    // A sender counts a datagram once its send returned, which may be after it arrived;
    // a receiver counts it in as it takes it, before it has acted on it.
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            const talvex::CallerCounters in = client.GetCounters();
            return in.datagrams_in == 10 && in.unmatched_returns == 1 && server.GetCounters().datagrams_out == 7;
        },
        3s));
    EXPECT_EQ(7, server.lastEventValue.load()) << "the event reached the server's hook";

    ExpectCounters({.calls = 9, .answered = 5, .timed_out = 3, .broken = 1, .events_sent = 1, .pings_sent = 1,
                    .pings_answered = 1, .datagrams_in = 10, .datagrams_out = 11, .bytes_in = 6 * 20 + 16 + 34,
                    .bytes_out = 5 * 24 + 3 * 16 + 20 + 16 + 20, .malformed = 3, .unmatched_returns = 1},
                   client.GetCounters());
    ExpectCounters({.served = 9, .returns_sent = 6, .events_received = 1, .datagrams_in = 11, .datagrams_out = 7,
                    .bytes_in = 5 * 24 + 3 * 16 + 20 + 16 + 20, .bytes_out = 6 * 20 + 16},
                   server.GetCounters());
}

TEST(CallerCounters, DamagedOrForeignPagesAreRefusedAndAnotherUserCannotReadOurs) {
    const std::string damaged = talvex::CounterPageName(999999999);
    for (const std::size_t size : {sizeof(talvex::CounterPage), std::size_t{100}}) {
        const testsupport::Fd fd(::shm_open(damaged.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        const std::vector<char> junk(size, '\x7f');
        ASSERT_EQ(static_cast<ssize_t>(size), ::write(fd.Get(), junk.data(), size));
        std::string why;
        EXPECT_FALSE(talvex::ReadCounterPage(999999999, &why).has_value());
        EXPECT_EQ(size == 100 ? "not the size of a counters page" : "not a counters page of this version", why);
    }
    ::shm_unlink(damaged.c_str());
    const std::string name = talvex::CounterPageName(static_cast<int>(::getpid()));
    const int squatted = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(squatted, 0);
    ::fchmod(squatted, 0644);
    EXPECT_FALSE(talvex::PublishCounters());
    ::close(squatted);
    ::shm_unlink(name.c_str());

    TestCaller caller;
    ASSERT_TRUE(talvex::PublishCounters());
    struct stat page{};
    ASSERT_EQ(0, ::stat(("/dev/shm" + name).c_str(), &page));
    EXPECT_EQ(0600u, page.st_mode & 07777);
    std::string why;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return talvex::ReadCounterPage(::getpid(), &why).has_value(); }, 2s)) << why;
    EXPECT_EQ(1u, talvex::ReadCounterPage(::getpid(), &why)->callerTotal);
    const std::string noOtherUser = testsupport::WhyNoOtherUser();
    if (noOtherUser.empty()) {
        testsupport::ChildProcess cat("/usr/bin/setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                                           "/bin/cat", "/dev/shm" + name});
        EXPECT_EQ("", cat.ReadAll(5s));
        EXPECT_EQ(1, cat.Wait(5s));
    }
    talvex::StopPublishingCounters();
    EXPECT_NE(0, ::access(("/dev/shm" + name).c_str(), F_OK));
    if (!noOtherUser.empty()) GTEST_SKIP() << noOtherUser;
}

TEST(CallerCounters, TalvexStatShowsAServeAndRemovesThePageOfAKilledOne) {
    const std::string talvex = testsupport::TalvexProgram();
    if (talvex.empty()) GTEST_SKIP() << "the talvex program was not built";
    testsupport::ChildProcess serve(talvex, {"serve", "--port", "0", "--quiet"});
    std::string first;
    std::smatch port;
    ASSERT_TRUE(serve.ReadLine(&first, 10s) && std::regex_search(first, port, std::regex(R"(:([0-9]+) \()")));
    const std::string pid = std::to_string(serve.Pid());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(0, testsupport::ChildProcess(talvex, {"call", "127.0.0.1:" + port[1].str(), "1", "l:5"}).Wait(10s));
    std::string json;
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        json = testsupport::ChildProcess(talvex, {"stat", pid, "--json"}).ReadAll(5s);
        return json.find(R"("served":2,"returns_sent":2,)") != std::string::npos;
    }, 3s)) << json;
    EXPECT_TRUE(std::regex_search(json, std::regex("^\\{\"pid\":" + pid + ",\"program\":\"talvex\",\"address\":\"127.0.0.1\",\"port\":" +
                                                   port[1].str() + ",\"peer\":\"127.0.0.1:0\",\"kind\":\"extended\",\"counters\":\\{\"calls\":0,"))) << json;
    serve.Signal(SIGKILL);
    serve.Wait(5s);
    EXPECT_EQ(1, testsupport::ChildProcess(talvex, {"stat", pid}).Wait(5s));
    EXPECT_NE(0, ::access(("/dev/shm" + talvex::CounterPageName(std::stoi(pid))).c_str(), F_OK));
}

}  // namespace

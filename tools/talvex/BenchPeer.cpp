#include "BenchPeer.h"

#include "BenchRawUdp.h"
#include "BenchServer.h"

#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kRegionBytes = 64 * 1024;
constexpr auto kPeerLifetime = std::chrono::minutes(8);   // the peer ends by itself at the latest then
constexpr auto kStartLimit = std::chrono::seconds(15);

CString WideOf(const std::string& text) { return CString(std::wstring(text.begin(), text.end())); }

std::string ChannelBase(const std::string& directory) { return directory + "/channel"; }
std::string FloorPath(const std::string& directory) { return directory + "/floor"; }

// Blocks until standard input reaches its end (the measuring process closed it) or the lifetime passed.
void WaitForEndOfInput() {
    const auto end = Clock::now() + kPeerLifetime;
    char buffer[64];
    while (Clock::now() < end) {
        pollfd input{0, POLLIN, 0};
        if (::poll(&input, 1, 200) <= 0) continue;
        if (::read(0, buffer, sizeof buffer) <= 0) return;
    }
}

// A channel key unique on this computer while this process lives: derived from its process id.
int ChannelKeyOfThisProcess() { return 0x40000000 + static_cast<int>(::getpid()) * 2; }

}  // namespace

// ---- the peer process ------------------------------------------------------------------------

int RunBenchPeer(const std::string& directory, int key, unsigned short signalPort) {
    RawEcho echo(RawEcho::Answer::Mirror);
    auto caller = StartBenchServer();
    auto channel = std::make_unique<BenchServer>(signalPort);
    const bool channelOpen = channel->InitSharedMemory(WideOf(ChannelBase(directory)), kRegionBytes, key, false);
    if (channelOpen) channel->EnableSharedMemory();
    FloorResponder floor(FloorPath(directory));
    const unsigned threadId = channelOpen && channel->m_pTelegramThread ? channel->m_pTelegramThread->m_nThreadID : 0;
    std::printf("READY %u %u %u\n", echo.Port(), caller ? caller->GetMyUDPPort() : 0, threadId);
    std::fflush(stdout);
    WaitForEndOfInput();
    if (caller) caller->StopDispatchThread();
    if (channelOpen) channel->UnInitSharedMemory();
    return 0;
}

// ---- the measuring process's handle ---------------------------------------------------------

PeerSession::~PeerSession() { Stop(); }

bool PeerSession::Start(std::string* why) {
    char pattern[] = "/tmp/talvex-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        *why = "no temporary directory";
        return false;
    }
    m_directory = pattern;
    m_floor = std::make_unique<FloorCaller>(FloorPath(m_directory));
    const int key = ChannelKeyOfThisProcess();
    m_channel = std::make_unique<CRP_CallerEx>(m_ownSignal.Port());
    m_channelOpen = m_channel->InitSharedMemory(WideOf(ChannelBase(m_directory)), kRegionBytes, key, true);
    if (m_channelOpen) m_channel->EnableSharedMemory();
    // The peer pins itself to the CPU of this process when the run is pinned.
    std::vector<std::string> args = {cli::Subprocess::SelfPath(), "bench"};
    for (const std::string& argument : SecondProcessArguments()) args.push_back(argument);
    for (const std::string& argument : {std::string("--peer"), m_directory, std::to_string(key),
                                        std::to_string(m_peerSignal.Port())})
        args.push_back(argument);
    if (!m_peer.Start(args[0], args, why)) return false;
    m_peerStarted = true;
    std::string line;
    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline &&
           m_peer.ReadLine(&line, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
        if (line.rfind("READY ", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        unsigned raw = 0, caller = 0, thread = 0;
        fields >> raw >> caller >> thread;
        m_rawPort = static_cast<unsigned short>(raw);
        m_callerPort = static_cast<unsigned short>(caller);
        if (m_channelOpen && thread != 0) {
            m_channel->m_nPeerThreadId = thread;
        } else {
            m_channel.reset();   // no channel: its cases are skipped
        }
        return true;
    }
    *why = "the peer process did not report ready" + (line.empty() ? std::string() : ": " + line);
    return false;
}

void PeerSession::Stop() {
    if (m_peerStarted) {
        m_peer.CloseInput();
        m_peer.Wait(std::chrono::seconds(5));
        m_peerStarted = false;
    }
    if (m_channel && m_channelOpen) m_channel->UnInitSharedMemory();
    m_channel.reset();
    m_floor.reset();
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
        m_directory.clear();
    }
}

}  // namespace bench

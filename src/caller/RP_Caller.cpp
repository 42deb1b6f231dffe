// CRP_Caller: construction, start and stop of sockets and threads, and the
// small accessors.
#include "talvex05u/caller/RP_Caller.h"

#include "caller/CounterCells.h"
#include "caller/AllowedPeers.h"
#include "caller/AnswerSender.h"
#include "caller/ChunkedAnswers.h"
#include "caller/PulledAnswers.h"
#include "caller/PendingCalls.h"
#include "caller/SocketSetup.h"
#include "caller/WaiterReads.h"

#include "talvex05u/caller/SocketErrorText.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/support/StringConversions.h"
#include "socket/InterfaceOfAddress.h"

#include <arpa/inet.h>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A random start in 1 .. 2^30 - 1: far from 0 and from the sign change, and unlike
// any other process's. Mixed from the time and the process id when the system has
// no random bytes to give.
std::int32_t FirstReferenceNumber() {
    std::uint32_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        random = static_cast<std::uint32_t>(now.tv_nsec) * 2654435761u ^ static_cast<std::uint32_t>(::getpid()) << 16;
    }
    return static_cast<std::int32_t>(random % 0x3FFFFFFFu) + 1;
}

}  // namespace

std::atomic<std::int32_t> CRP_Caller::m_nNextReferenceNumber{FirstReferenceNumber()};

namespace {

constexpr std::uint32_t kFirstPingWaitMs = 6000;
constexpr std::uint32_t kActivePollMs = 25;   // how often the start looks at IsActive

// Frees an array from CString2Char when it goes out of scope.
struct AnsiText {
    explicit AnsiText(const CString& text) : bytes(CString2Char(text)) {}
    const char* get() const { return bytes ? bytes.get() : ""; }
    std::unique_ptr<char[]> bytes;
};

// Own address text -> host-order address; "" and "0.0.0.0" mean any interface,
// a text that is no address gives 255.255.255.255 like inet_addr.
std::uint32_t ParseOwnAddress(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    in_addr address{};
    if (::inet_aton(text, &address) == 0) return 0xFFFFFFFFu;
    return ntohl(address.s_addr);
}

// The port `fd` is bound to; 0 when it is not bound.
std::uint16_t BoundPort(int fd) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    return ntohs(bound.sin_port);
}

}  // namespace

CRP_Caller::CRP_Caller()
    : m_bActive(false),
      m_bBroadcastCall(false),
      m_pDispatchThread(nullptr),
      m_pPingThread(nullptr),
      m_hReturnEvent(nullptr),
      m_hBreakEvent(nullptr),
      m_hPingAnswerEvent(nullptr),
      m_hStopPingEvent(nullptr),
      m_nRemotePort(0),
      m_nMyPort(0),
      m_nBroadcastPort(0),
      m_nMyAddress(0),
      m_hBroadcastSocket(talvex::kInvalidSocket),
      m_PacketRecord{},
      m_hMultiDoneEvent(nullptr),
      m_hMultiBreakEvent(nullptr),
      m_pCounters(std::make_unique<talvex::CounterCells>()),
      m_hWakeDispatcher(nullptr),
      m_pCalls(std::make_unique<talvex::PendingCalls>()),
      m_pWaiterReads(std::make_unique<talvex::WaiterReads>(*m_pCounters)),
      m_pChunkedAnswers(std::make_unique<talvex::ChunkedAnswers>()),
      m_pPulledAnswers(std::make_unique<talvex::PulledAnswers>()) {
    Init();
}

CRP_Caller::CRP_Caller(unsigned short myPort) : CRP_Caller() { m_nMyPort = myPort; }

CRP_Caller::CRP_Caller(unsigned short myPort, char* /*unused1*/, char* /*unused2*/) : CRP_Caller() {
    m_nMyPort = myPort;
}

CRP_Caller::~CRP_Caller() {
    StopDispatchThread();
    m_BCastReturn.Clear();
    talvex::CloseEvent(m_hReturnEvent);
    talvex::CloseEvent(m_hBreakEvent);
    talvex::CloseEvent(m_hPingAnswerEvent);
    talvex::CloseEvent(m_hStopPingEvent);
    talvex::CloseEvent(m_hWakeDispatcher);
}

void CRP_Caller::Init() {
    m_bActive = false;
    m_pDispatchThread = nullptr;
    m_pPingThread = nullptr;
    m_nMyPort = 0;
    if (m_hReturnEvent == nullptr) m_hReturnEvent = talvex::CreateEvent(true, false);
    if (m_hBreakEvent == nullptr) m_hBreakEvent = talvex::CreateEvent(false, false);
    if (m_hPingAnswerEvent == nullptr) m_hPingAnswerEvent = talvex::CreateEvent(true, false);
    if (m_hStopPingEvent == nullptr) m_hStopPingEvent = talvex::CreateEvent(true, false);
    if (m_hWakeDispatcher == nullptr) m_hWakeDispatcher = talvex::CreateEvent(true, false);
    talvex::ResetEvent(m_hReturnEvent);
    talvex::ResetEvent(m_hPingAnswerEvent);
    talvex::ResetEvent(m_hStopPingEvent);
    m_strMyComputer = talvex::GetComputerName();
    m_bBroadcastCall = false;
    m_nBroadcastPort = 0;
}

CRP_Caller& CRP_Caller::operator=(const CRP_Caller& other) {
    if (this == &other) return *this;
    std::scoped_lock lock(m_callLock, other.m_callLock);
    m_ReturnBlock = other.m_ReturnBlock;
    m_CallBlock = other.m_CallBlock;
    m_ReplyBlock = other.m_ReplyBlock;
    m_bActive = other.m_bActive.load();
    m_bBroadcastCall = other.m_bBroadcastCall;
    m_addrMy = other.m_addrMy;
    m_addrRemote = other.m_addrRemote;
    m_addrLastSender = other.m_addrLastSender;
    m_strMyComputer = other.m_strMyComputer;
    m_nRemotePort = other.m_nRemotePort;
    m_nMyPort = other.m_nMyPort;
    m_nBroadcastPort = other.m_nBroadcastPort;
    m_nMyAddress = other.m_nMyAddress;
    m_BCastReturn = other.m_BCastReturn;
    std::copy(std::begin(other.m_PacketRecord), std::end(other.m_PacketRecord), std::begin(m_PacketRecord));
    return *this;
}

std::int32_t CRP_Caller::TakeReferenceNumber() {
    const std::int32_t taken = m_nNextReferenceNumber.fetch_add(1);
    return taken != 0 ? taken : m_nNextReferenceNumber.fetch_add(1);
}

bool CRP_Caller::IsErrorOccured() { return talvex::ClassifyAndClearLastSocketError(); }

void CRP_Caller::DoRemoteFunction(CUdpDataBlockEx* /*block*/) {}
void CRP_Caller::DoBroadCastFunction(CUdpDataBlockEx* /*block*/) {}
void CRP_Caller::DoRemoteFunctionMulti(CUdpDataBlockEx* /*block*/) {}
bool CRP_Caller::SendReturnMulti(CUdpDataBlockEx* /*block*/) { return false; }

bool CRP_Caller::OpenBroadcastSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        m_hBroadcastSocket = talvex::kInvalidSocket;
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    if (m_nBroadcastPort != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Linux hands broadcasts only to sockets bound to the any address. For an own
    // address the socket binds there and asks for each datagram's arrival interface,
    // and the dispatcher keeps those that came in on the own address's interface.
    // An address no interface has is bound as it is (that bind fails).
    m_nBroadcastInterface = m_nMyAddress != 0 ? talvex::InterfaceOfAddress(m_nMyAddress) : 0;
    std::uint32_t bindAddress = m_nMyAddress;
    if (m_nBroadcastInterface != 0) {
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        bindAddress = INADDR_ANY;
    }
    const CSockAddr address(bindAddress, m_nBroadcastPort);
    ::bind(fd, static_cast<const sockaddr*>(address), sizeof(sockaddr_in));
    m_hBroadcastSocket = static_cast<talvex::SocketHandle>(fd);
    return true;
}

bool CRP_Caller::StartDispatchThread(unsigned short remotePort, CString remoteComputer, const char* myAddress,
                                     unsigned short broadcastPort) {
    try {
        m_nMyAddress = ParseOwnAddress(myAddress);
        StopDispatchThread();
        SetRemoteSocket(remotePort, remoteComputer);
        {
            const AnsiText ownName(m_strMyComputer);
            CSockAddr own = CBlockingSocket::GetHostByName(ownName.get(), m_nMyPort);
            own.sin_addr.s_addr = htonl(m_nMyAddress);
            std::scoped_lock lock(m_callLock);
            m_addrMy = own;
            std::unique_lock socketLock(m_socketLock);
            m_Socket.Create(talvex::kSockDgram);
        }
    } catch (CBlockingSocketException* e) {
        m_Socket.Cleanup();
        LogBlockingSocketException("CRP_Caller:", e);
        IsErrorOccured();
        e->Delete();
        return false;
    }
    // Linux reports no ICMP port-unreachable on unconnected UDP sockets: nothing to switch off.
    m_Socket.Bind(m_addrMy);
    IsErrorOccured();
    const std::uint16_t bound = BoundPort(static_cast<int>(m_Socket.m_hSocket));
    m_bBindFailed = bound == 0;
    if (m_bBindFailed) {
        // Bind has told standard error; a caller without its port serves nobody.
        std::unique_lock socketLock(m_socketLock);
        ::close(static_cast<int>(m_Socket.m_hSocket));
        m_Socket.m_hSocket = talvex::kInvalidSocket;
        return false;
    }
    m_pCounters->SetOwn(m_nMyAddress, bound);

    m_nBroadcastPort = broadcastPort;
    OpenBroadcastSocket();
    if (m_hBroadcastSocket != talvex::kInvalidSocket) talvex::SetCallerBufferSizes(static_cast<int>(m_hBroadcastSocket));
    talvex::SetCallerBufferSizes(static_cast<int>(m_Socket.m_hSocket));

    talvex::ResetEvent(m_hReturnEvent);
    talvex::ResetEvent(m_hStopPingEvent);
    talvex::ResetEvent(m_hWakeDispatcher);
    {
        std::scoped_lock lock(m_callLock);
        m_pCalls->AcceptCalls();
    }
    m_pDispatchThread = talvex::BeginThread(&CRP_Caller::DispatchThreadProc, this, talvex::kPriorityNormal);
    if (m_pDispatchThread == nullptr) return false;
    // Waiting calls read the socket only while a dispatcher runs to take what they leave.
    if (m_pSeamSink == nullptr) {
        m_pWaiterReads->Offer(static_cast<int>(m_Socket.m_hSocket), CSockAddr(m_nMyAddress, bound));
    }

    if (remotePort == 0) {
        m_bActive = true;
        return true;
    }
    m_pPingThread = talvex::BeginThread(&CRP_Caller::PingThreadProc, this, talvex::kPriorityBelowNormal);
    if (m_pPingThread == nullptr) return false;

    const std::uint32_t start = talvex::GetTickCount();
    for (;;) {
        if (IsActive()) return true;
        talvex::Sleep(kActivePollMs);
        if (talvex::GetTickCount() - start > kFirstPingWaitMs) return IsActive();
    }
}

void CRP_Caller::JoinThread(CWinThread*& thread) {
    delete thread;   // joins
    thread = nullptr;
}

void CRP_Caller::CloseSockets() {
    // Closed only when no waiting call polls them any more.
    m_pWaiterReads->Withdraw();
    std::unique_lock lock(m_socketLock);
    if (m_Socket.m_hSocket != talvex::kInvalidSocket) {
        ::close(static_cast<int>(m_Socket.m_hSocket));
        m_Socket.m_hSocket = talvex::kInvalidSocket;
    }
    if (m_hBroadcastSocket != talvex::kInvalidSocket) {
        ::close(static_cast<int>(m_hBroadcastSocket));
        m_hBroadcastSocket = talvex::kInvalidSocket;
    }
}

void CRP_Caller::StopDispatchThread() {
    if (m_pPingThread != nullptr) {
        talvex::SetEvent(m_hStopPingEvent);
        JoinThread(m_pPingThread);
    }
    m_bActive = false;
    if (m_pAnswerSender) m_pAnswerSender->Stop();   // answers not yet sent are dropped
    if (m_pDispatchThread != nullptr) {
        // Closing a socket does not wake poll() on Linux: wake the dispatcher through
        // its attention event with the stop marked, release a waiting call, and close
        // the sockets only after the dispatcher has stopped using them.
        talvex::SetEvent(m_hWakeDispatcher);
        m_pWaiterReads->CallDispatcher();
        {
            std::scoped_lock lock(m_callLock);
            m_pCalls->ReleaseAll();
        }
        talvex::SetEvent(m_hReturnEvent);
        JoinThread(m_pDispatchThread);
        talvex::ResetEvent(m_hWakeDispatcher);
    }
    CloseSockets();
}

void CRP_Caller::SetMyPort(unsigned short port) { m_nMyPort = port; }

void CRP_Caller::SetRemoteSocket(unsigned short port, std::uint32_t hostAddress) {
    std::scoped_lock lock(m_callLock);
    m_nRemotePort = port;
    m_addrRemote.sin_port = htons(port);
    m_addrRemote.sin_addr.s_addr = htonl(hostAddress);
    m_pCounters->SetPeer(hostAddress, port);
}

void CRP_Caller::SetRemoteSocket(unsigned short port, CString computer) {
    m_nRemotePort = port;
    const AnsiText name(computer);
    const CSockAddr resolved = CBlockingSocket::GetHostByName(name.get(), port);
    std::scoped_lock lock(m_callLock);
    m_addrRemote = resolved;
    m_pCounters->SetPeer(resolved.IPAddr(), port);
}

unsigned short CRP_Caller::GetMyUDPPort() {
    if (m_bBindFailed) return 0;   // the last start could not bind: no port is ours
    if (m_nMyPort != 0) return m_nMyPort;
    if (!IsActive()) return 0;
    CSockAddr bound;
    std::shared_lock lock(m_socketLock);
    m_Socket.GetSockAddr(bound);
    return bound.Port();
}

CString CRP_Caller::GetMyComputer() const { return m_strMyComputer; }

CString CRP_Caller::GetRemoteComputer() const {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    {
        std::scoped_lock guard(m_callLock);
        address = m_addrRemote.sin_addr;
    }
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return Char2CString(text);
}

talvex::CallerCounters CRP_Caller::GetCounters() const { return m_pCounters->Snapshot(); }

bool CRP_Caller::IsActive() const { return m_bActive.load(); }

void* CRP_Caller::GetStopPingEvent() { return m_hStopPingEvent; }

std::uint32_t CRP_Caller::DispatchThreadProc(void* caller) {
    return static_cast<std::uint32_t>(static_cast<CRP_Caller*>(caller)->DatagrammDispatcher());
}

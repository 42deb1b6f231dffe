#pragma once
// CRP_Caller: one local endpoint of the remote-procedure protocol, talking to one
// peer over UDP. Derive from it, override the hooks to serve calls, start it with
// StartDispatchThread, then call procedures with CallProcedure.
//
// Waits: this platform has no window messages, so every wait of the caller
// (CallProcedure, Ping, the start and stop operations) waits only on its events and
// its time-out; the calling thread's message queue is not pumped while it waits.
// A derived class whose hooks use its own members calls StopDispatchThread in its
// own destructor, so that no hook runs while the derived part is destroyed.
#include "talvex05u/caller/BCastReturnBlock.h"
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/platform/CString.h"
#include "talvex05u/platform/Thread.h"
#include "talvex05u/socket/BlockingSocket.h"
#include "talvex05u/socket/SockAddr.h"
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

// Message types: the first word of every packet.
constexpr std::int32_t RP_CALL = 1;
constexpr std::int32_t RP_RETURN = 2;
constexpr std::int32_t RP_PING = 3;
constexpr std::int32_t RP_PING_ANSWER = 4;
constexpr std::int32_t RP_BROADCAST = 7;
constexpr std::int32_t RP_BROADCAST_RETURN = 8;
constexpr std::int32_t RP_NEXT_PACKET = 9;
constexpr std::int32_t RP_MULTI_CALL = 11;
constexpr std::int32_t RP_MULTI_RETURN = 12;

namespace talvex { class DatagramSink; struct DatagramSeam; class AwaitedReturnTable; struct AwaitedReturn; class SharedReceive; }

class CRP_Caller {
public:
    CRP_Caller();
    explicit CRP_Caller(unsigned short myPort);
    CRP_Caller(unsigned short myPort, char* unused1, char* unused2);
    virtual ~CRP_Caller();   // virtual, so deleting a derived caller through a base pointer is safe
    // Copies the data field by field (the three blocks, flags, addresses, ports,
    // names, m_nMyAddress, a deep copy of the broadcast answers, the packet record);
    // the target keeps its own events, sockets and threads, so no two objects ever
    // release one set of them.
    CRP_Caller& operator=(const CRP_Caller& other);
    CRP_Caller(const CRP_Caller&) = delete;

    bool StartDispatchThread(unsigned short remotePort, CString remoteComputer, const char* myAddress,
                             unsigned short broadcastPort);
    void StopDispatchThread();
    void SetMyPort(unsigned short port);
    void SetRemoteSocket(unsigned short port, std::uint32_t hostAddress);
    void SetRemoteSocket(unsigned short port, CString computer);
    unsigned short GetMyUDPPort();
    CString GetMyComputer() const;
    CString GetRemoteComputer() const;
    bool IsActive() const;
    void* GetStopPingEvent();

    bool CallProcedure(CSockAddr* destination, CUdpDataBlockEx* block, std::int32_t timeout);
    bool CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout);
    std::int32_t SendReturn(CUdpDataBlockEx* block);
    void SendEvent(CUdpDataBlockEx* block);
    void BreakActiveCall();
    CBCastReturnBlock* BroadcastCall(unsigned short port, CUdpDataBlockEx* block, std::int32_t waitMilliseconds);
    void Ping();

    std::int32_t DatagrammDispatcher();
    static std::uint32_t DispatchThreadProc(void* caller);
    static std::uint32_t PingThreadProc(void* caller);

    static std::atomic<std::int32_t> m_nNextReferenceNumber;
    // Takes the next reference number and advances the process-wide counter, in one step.
    static std::int32_t TakeReferenceNumber();

protected:
    virtual void DoRemoteFunction(CUdpDataBlockEx* block);
    virtual void DoBroadCastFunction(CUdpDataBlockEx* block);
    virtual void DoRemoteFunctionMulti(CUdpDataBlockEx* block);
    virtual bool SendReturnMulti(CUdpDataBlockEx* block);

    void Init();
    bool IsErrorOccured();

public:
    CUdpDataBlockEx m_ReturnBlock;
    CUdpDataBlockEx m_CallBlock;
    CUdpDataBlockEx m_ReplyBlock;
    std::atomic<bool> m_bActive;
    bool m_bBroadcastCall;
    CWinThread* m_pDispatchThread;
    CWinThread* m_pPingThread;
    void* m_hReturnEvent;
    void* m_hBreakEvent;
    void* m_hPingAnswerEvent;
    void* m_hStopPingEvent;
    CSockAddr m_addrMy;
    CSockAddr m_addrRemote;
    CSockAddr m_addrLastSender;
    CBlockingSocket m_Socket;
    CString m_strMyComputer;
    unsigned short m_nRemotePort;
    unsigned short m_nMyPort;
    unsigned short m_nBroadcastPort;
    std::uint32_t m_nMyAddress;
    talvex::SocketHandle m_hBroadcastSocket;
    CBCastReturnBlock m_BCastReturn;
    std::int32_t m_PacketRecord[512];
    void* m_hMultiDoneEvent;
    void* m_hMultiBreakEvent;

protected:
    // Serialises the building and sending of packets from m_PacketRecord and the
    // three long-lived blocks between application threads and the dispatch thread.
    std::recursive_mutex m_sendLock;
    // Wakes the dispatcher out of its wait when StopDispatchThread closes the sockets.
    void* m_hWakeDispatcher;
    // True when this object owns its events, sockets and threads (false for a copy).
    bool m_bOwnsResources;
    // The calls in flight and their returns, one entry per call, so that every call
    // takes only its own completed return from its own peer, however many threads call
    // at once. Guarded by m_sendLock.
    std::unique_ptr<talvex::AwaitedReturnTable> m_pAwaitedReturns;
    // A return awaited without a call of this object: m_ReturnBlock's reference number
    // (when not 0) is taken from the peer in m_addrAwaitedPeer (port 0: anyone), and
    // the return event is set when it completes; m_nCompletedReference is its number.
    // m_addrAwaitedPeer also keeps the peer of the last call made. Guarded by m_sendLock.
    std::int32_t m_nCompletedReference = 0;
    CSockAddr m_addrAwaitedPeer;
    // Set by StopDispatchThread to release waiting calls with what has arrived so far.
    std::atomic<bool> m_bReleasingCall{false};
    // The unicast socket as the dispatcher and waiting calls share it: a waiting call
    // reads it too and takes its own return on the spot.
    std::unique_ptr<talvex::SharedReceive> m_pSharedReceive;
    // Sends `block` to `destination` as a new call: gives it the next reference number,
    // enters its return in the table (woken through `waker`) and sends its packet 0.
    // Called with m_sendLock held; nullptr when no entry could be made.
    talvex::AwaitedReturn* SendCall(const CSockAddr& destination, CUdpDataBlockEx& block, void* waker);
    // Makes the call `block` to `destination` and waits for its return; `reference`
    // receives the reference number the call went out with.
    bool CallAndWait(const CSockAddr& destination, CUdpDataBlockEx* block, std::int32_t timeout,
                     std::int32_t& reference);
    // Waits until the return of `entry` is complete (true, `block` and m_ReturnBlock
    // hold it), the call is released by a stop (true, `block` holds what arrived), or
    // the break event or the time-out ends it (false, `block` unchanged). Frees the
    // entry in every case.
    bool WaitForOwnReturn(talvex::AwaitedReturn* entry, void* waker, CUdpDataBlockEx* block, std::int32_t timeout);
    // Where the return in m_ReplyBlock went: only that caller may pull its further
    // packets, so two callers that use the same reference number never get each
    // other's answers. Guarded by m_sendLock; port 0 (no return sent yet) serves anyone.
    CSockAddr m_addrReplyPeer;
    // Acts on one received datagram of `size` bytes from `sender` (the per-datagram
    // logic of the dispatcher; answers go out through m_Socket).
    void HandleDatagram(const std::int32_t* words, int size, const CSockAddr& sender);
    friend struct talvex::DatagramSeam;

private:
    // Every datagram the caller sends through m_Socket goes out here; a test sink,
    // when installed, takes the bytes instead of the socket.
    void SendPacket(const std::int32_t* packet, int bytes, const CSockAddr& destination);
    void HandleNextPacketRequest(const std::int32_t* words, int size, const CSockAddr& sender);
    // `ownWaker`: the waker of the thread that handles the packet, not to be set for it.
    void HandleReturnPacket(const std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker = nullptr);
    void HandleBroadcastReturn(const std::int32_t* words, int size, const CSockAddr& sender);
    // On a waiting thread: acts on a datagram when it is a return that a call without
    // a chunk listener awaits, as the dispatcher would; false leaves it to the dispatcher.
    // `reader` is the talvex::ReturnReader of the waiting thread.
    static bool TakeAwaitedReturn(void* reader, const std::int32_t* words, int size, const CSockAddr& sender);
    bool RecoverUnicastSocket();
    bool RecoverBroadcastSocket();
    bool OpenBroadcastSocket();
    void CloseSockets();
    void JoinThread(CWinThread*& thread);
    CUdpDataBlockEx m_WorkBlock;                    // the dispatcher's working block
    talvex::DatagramSink* m_pSeamSink = nullptr;    // test-only; null in production
    // Interface of the own address whose broadcasts the broadcast socket takes; 0: all.
    int m_nBroadcastInterface = 0;
};

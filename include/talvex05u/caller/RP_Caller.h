#pragma once
// CRP_Caller: one local endpoint of the remote-procedure protocol, talking to one
// peer over UDP. Derive from it, override the hooks to serve calls, start it with
// StartDispatchThread, then call procedures with CallProcedure. Any number of threads
// may call through one caller at once; each call ends with its own answer or false
// (docs/caller.md tells how).
//
// Waits: this platform has no window messages, so every wait of the caller
// (CallProcedure, Ping, the start and stop operations) waits only on its events and
// its time-out; the calling thread's message queue is not pumped while it waits.
// A derived class whose hooks use its own members calls StopDispatchThread in its
// own destructor, so that no hook runs while the derived part is destroyed.
#include "talvex05u/caller/BCastReturnBlock.h"
#include "talvex05u/caller/CallerCounters.h"
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/platform/CString.h"
#include "talvex05u/platform/Thread.h"
#include "talvex05u/socket/BlockingSocket.h"
#include "talvex05u/socket/SockAddr.h"
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

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

namespace talvex { class DatagramSink; struct DatagramSeam; class PendingCalls; struct PendingCall; class WaiterReads; class ReadingTurn; class ChunkedCallSender; class CounterCells; class ChunkedAnswers; class PulledAnswers; class AllowedPeers; class AnswerSender; class DatagramBatch; }

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
    // What this caller has done since it was made (see CallerCounters.h).
    talvex::CallerCounters GetCounters() const;
    // Names the networks this caller talks to, as "127.0.0.0/8,10.1.0.0/16" (a bare
    // address is a network of one): datagrams from any other address are dropped on
    // both sockets before anything else happens to them (no hook, answer,
    // acknowledgement or ping reply) and counted in refused_sources. "" or nullptr
    // allows every address again, as before the first call. False, and the list as it
    // was, when the text is malformed. May be called at any time, from any thread.
    bool AllowPeers(const char* networks);

    std::int32_t DatagrammDispatcher();
    static std::uint32_t DispatchThreadProc(void* caller);
    static std::uint32_t PingThreadProc(void* caller);

    // Starts at a random value in 1 .. 2^30 - 1, so that two processes (or one started
    // again) do not number their calls alike; peers only echo the numbers.
    static std::atomic<std::int32_t> m_nNextReferenceNumber;
    // Takes the next reference number and advances the process-wide counter, in one
    // step; 0, which marks "no call", is never taken.
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

    // Off by default, as the protocol has it: a call whose answer came as return chunks
    // of which some were lost ends with true and an empty answer (a plain caller, which
    // cannot put chunks together, likewise). Set, such a call ends with false and its
    // block unchanged. Either way the diagnostic sink is told which call lost what.
    std::atomic<bool> m_bFailOnLostReturnChunks{false};

protected:
    // This caller's counters, bumped with relaxed atomics wherever the counted thing happens.
    std::unique_ptr<talvex::CounterCells> m_pCounters;
    // Guards the table of calls in flight and every call's state in it, and the shared
    // members above (the three blocks, addresses, the broadcast flag and answers, the
    // packet record). Never held across a send, a wait or a hook. See docs/caller.md.
    mutable std::mutex m_callLock;
    // The two socket handles: held shared by every send, exclusively while a socket is
    // replaced or closed.
    mutable std::shared_mutex m_socketLock;
    // Wakes the dispatcher out of its wait when StopDispatchThread closes the sockets.
    void* m_hWakeDispatcher;
    // The calls in flight, one entry per call (m_callLock).
    std::unique_ptr<talvex::PendingCalls> m_pCalls;
    // Who reads the unicast socket: the dispatcher, or the threads that wait.
    std::unique_ptr<talvex::WaiterReads> m_pWaiterReads;
    // The chunked answers being sent or sent lately, with their acknowledgements.
    std::unique_ptr<talvex::ChunkedAnswers> m_pChunkedAnswers;
    // The recent long plain answers, kept for their receivers' pulls (m_callLock).
    std::unique_ptr<talvex::PulledAnswers> m_pPulledAnswers;
    // Return chunks are put together one at a time, by whichever thread read them;
    // this lock also guards m_ReturnChunkWork.
    std::mutex m_returnChunkReceiveLock;
    CUdpDataBlockEx m_ReturnChunkWork;
    // A return awaited in m_ReturnBlock itself (its reference number not 0): taken only
    // from this peer (port 0: from anyone). After a call gave up, its peer (m_callLock).
    CSockAddr m_addrAwaitedPeer;
    // Where the return in m_ReplyBlock went: only that caller may pull its further
    // packets; port 0 (no return sent yet) serves anyone (m_callLock).
    CSockAddr m_addrReplyPeer;
    // Where a broadcast answer is put before it is added to m_BCastReturn (m_callLock).
    CUdpDataBlockEx m_BroadcastAnswerWork;

    // The road of one call (docs/caller.md). StartCall enters `block` as a new call to
    // `destination` and sends its packet 0; AwaitCall waits until it is answered,
    // released, broken off or out of time; FinishCall hands its answer to `block` and
    // the shared members and frees its entry. The call's waker comes from the caller's
    // pool in StartCall and goes back in CloseCall (m_callLock held).
    enum class CallEnd { kAnswered, kReleased, kBroken, kTimedOut };
    talvex::PendingCall* StartCall(const CSockAddr& destination, const CUdpDataBlockEx& block);
    void CloseCall(talvex::PendingCall* call);
    // With m_callLock held: gives `block` the next reference number, enters it as a call
    // to `destination` and builds its packet 0 into `record` (sent by the caller of this).
    talvex::PendingCall* EnterCall(const CSockAddr& destination, CUdpDataBlockEx& block, void* waker,
                                   std::int32_t* record);
    CallEnd AwaitCall(talvex::PendingCall* call, std::int32_t timeout);
    bool FinishCall(talvex::PendingCall* call, CallEnd end, CUdpDataBlockEx* block);
    // A call with no peer to go to: counted, told to the diagnostic sink, false.
    bool NoPeer(const CUdpDataBlockEx* block);
    // Counts how a call ended: answered (when `answered`), timed out, or broken off.
    void CountCallEnd(CallEnd end, bool answered);
    // SendReturn without counting an answer.
    std::int32_t SendReturnPacket(CUdpDataBlockEx* block);
    // With m_callLock held, before m_ReplyBlock is replaced: keeps its answer for the
    // pulls its receiver has yet to make.
    void KeepReplyForPulling();
    // Acknowledges the chunk in `block` to its sender with an empty return (always
    // RP_RETURN; the broadcast flag and m_ReplyBlock stay as they are, since chunks are
    // acknowledged by whichever thread read them, beside any hook).
    void SendAcknowledgement(CUdpDataBlockEx* block);
    // Waits once on `waker`, `alsoWakes` (when not nullptr) and, while `turn` holds a
    // place to poll, the unicast socket, taking and handling what is waiting there
    // when it is readable. A break (when `breakable`) is looked for before the wait:
    // BreakActiveCall wakes every call through its waker. `waker` is also set when a
    // place is handed to the turn or the socket withdrawn, so it is reset before each look.
    enum class Woken { kWaker, kBreak, kTimeout };
    Woken WaitForReturns(void* waker, std::uint32_t milliseconds, talvex::ReadingTurn& turn, bool breakable = true,
                         void* alsoWakes = nullptr);
    // The wait of WaitForReturns for a turn that holds a place: a short spin where it
    // pays, then one blocking receive that setting `waker` ends; what it took, or nullptr.
    talvex::DatagramBatch* ReadWhileWaiting(void* waker, std::uint32_t milliseconds, talvex::ReadingTurn& turn);
    // Handles the datagrams of `batch` (nullptr: none) that the waiting thread took for itself.
    void HandleTaken(talvex::DatagramBatch* batch, void* waker);
    // Handles a datagram that a waiting thread read itself (anything a hook need not
    // serve); `ownWaker` is that thread's waker, which a return it completes need not set.
    void HandleReadDatagram(std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker);
    // Tells the diagnostic sink that return chunks of the call `reference` were lost
    // (`arrived` of `announced` came); true when the call is to end false for it
    // (m_bFailOnLostReturnChunks).
    bool ReturnChunksLost(std::int32_t reference, std::int32_t announced, std::int32_t arrived);
    // True when `call`'s return is complete but return chunks announced for it may
    // still come (the final return overtook them) and lost chunks end calls false.
    bool AwaitsLateReturnChunks(const talvex::PendingCall& call) const;
    // Acts on one received datagram of `size` bytes from `sender` (the per-datagram
    // logic of the dispatcher; answers go out through m_Socket).
    void HandleDatagram(const std::int32_t* words, int size, const CSockAddr& sender);
    // Completes a return packet into its call's entry (or into m_ReturnBlock when that
    // awaits it); `ownWaker` is the waker of the thread that handles it, not set for it.
    // A completed try of a chunked call moves that call on: its next chunk goes out here.
    void CompleteReturnPacket(const std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker);
    // Sends the next chunk a completed try made room for; a failure of the send is handed
    // to the chunked call it belongs to.
    void SendNextChunk(const std::int32_t* record, const CSockAddr& destination);
    friend class talvex::ChunkedCallSender;
    friend class talvex::AnswerSender;
    // Sends the chunked answers of an extended caller (made by CRP_CallerEx; none in a
    // plain caller). Stopped before the sockets close.
    std::unique_ptr<talvex::AnswerSender> m_pAnswerSender;
    // Every datagram the caller sends through m_Socket goes out here; a test sink,
    // when installed, takes the bytes instead of the socket. False when the send
    // failed (counted, and told to the diagnostic sink); a send that cannot start in
    // `seconds` throws "Send timeout".
    bool SendPacket(const std::int32_t* packet, int bytes, const CSockAddr& destination, int seconds = 120);
    // Where a SendReturn answers: on the dispatch thread inside a hook, the sender of
    // the datagram being served; elsewhere m_addrLastSender.
    CSockAddr ReplyDestination() const;
    // True when `block` is the dispatcher's working block, the one hooks are given.
    bool IsWorkingBlock(const CUdpDataBlockEx* block) const { return block == &m_WorkBlock; }
    // True when a test sink takes what the caller sends.
    bool SendsToSeam() const { return m_pSeamSink != nullptr; }
    friend struct talvex::DatagramSeam;

private:
    void HandleNextPacketRequest(const std::int32_t* words, int size, const CSockAddr& sender);
    void HandleReturnChunk(const std::int32_t* words, int size, const CSockAddr& sender);
    void HandleBroadcastReturn(const std::int32_t* words, int size, const CSockAddr& sender);
    // Under the read lock, for a datagram a waiting thread took: what a hook must serve
    // goes to the dispatcher; a return chunk is noted as in hand for its call.
    // Returns a WaiterReads route: the dispatcher's inbox, the reader itself, or dropped.
    static int RouteForReader(void* caller, const std::int32_t* words, int size, const CSockAddr& sender);
    // The same for the dispatcher's own take, which handles everything itself.
    static int NoteForDispatcher(void* caller, const std::int32_t* words, int size, const CSockAddr& sender);
    // True when the allow-list lets `sender` in; counts it when not.
    bool Admits(const CSockAddr& sender);
    // The allow-list in force (nullptr: every address); every list made stays until
    // the caller goes, so a reader never holds one that is freed (m_callLock).
    std::atomic<const talvex::AllowedPeers*> m_pAllowedPeers{nullptr};
    std::vector<std::unique_ptr<talvex::AllowedPeers>> m_allowedLists;
    // A return chunk for a call in flight is in a thread's hands: its call does not end
    // until the chunk is stored (so the final return never overtakes it).
    void NoteReturnChunkInHand(const std::int32_t* words, int size, const CSockAddr& sender);
    void ReturnChunkHandled(std::int32_t reference, const CSockAddr& sender);
    // Receive and handle what the inbox and (when `socketReady`) the unicast socket hold,
    // and one datagram of the broadcast socket; false when the dispatcher is to end.
    bool ReceiveUnicast(std::int32_t* words, talvex::DatagramBatch& batch, bool socketReady);
    bool HandleBatch(talvex::DatagramBatch& batch);
    // Counts a failed receive; false when the error is fatal (the dispatcher ends).
    bool HandleFailedReceive(std::int32_t error);
    bool ReceiveBroadcast(std::int32_t* words);
    // After a failed receive: false when the error is fatal (the dispatcher ends).
    bool RecoverSocket();
    void ReportFailedSend(const CSockAddr& destination);
    // Waits up to 300 ms for the ping answer, reading the socket meanwhile.
    bool AwaitPingAnswer();
    // Waits `milliseconds` for broadcast answers, reading the socket meanwhile.
    void CollectAnswers(std::uint32_t milliseconds);
    // With m_callLock held, for a call whose return is whole with no chunk of it in
    // hand: a try of a chunked call moves that call on (its next chunk's packet into
    // `nextChunk`). The waker to set afterwards, nullptr for none.
    void* SettleCall(talvex::PendingCall& call, std::int32_t* nextChunk, CSockAddr& nextChunkTo, bool& sendNextChunk);
    std::atomic<std::uint32_t> m_nLastSendFailureReport{0};
    // The last StartDispatchThread could not bind the unicast socket.
    std::atomic<bool> m_bBindFailed{false};
    bool OpenBroadcastSocket();
    void CloseSockets();
    void JoinThread(CWinThread*& thread);
    CUdpDataBlockEx m_WorkBlock;                    // the dispatcher's working block
    talvex::DatagramSink* m_pSeamSink = nullptr;    // test-only; null in production
    // Interface of the own address whose broadcasts the broadcast socket takes; 0: all.
    int m_nBroadcastInterface = 0;
};

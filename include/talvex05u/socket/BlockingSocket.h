#pragma once
// CBlockingSocket: a socket handle with blocking operations whose time-outs are
// whole seconds; failures throw a new CBlockingSocketException naming the operation.
// Destroying the object does not close the socket: the owner calls Close or Cleanup.
#include "talvex05u/platform/RuntimeClass.h"
#include "talvex05u/socket/BlockingSocketException.h"
#include "talvex05u/socket/SockAddr.h"
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace talvex {
using SocketHandle = std::uint32_t;                 // a file descriptor, or kInvalidSocket
constexpr SocketHandle kInvalidSocket = 0xFFFFFFFFu;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;
}  // namespace talvex

class CBlockingSocket : public CObject {
public:
    CBlockingSocket();
    ~CBlockingSocket() override;                    // does not close the socket
    CBlockingSocket(const CBlockingSocket& other);  // shares the handle, own lock
    const CBlockingSocket& operator=(const CBlockingSocket& other);

    const CRuntimeClass* GetRuntimeClass() const override;
    static const CRuntimeClass* GetThisClass();

    void Create(int type = talvex::kSockStream);
    void Bind(const sockaddr* address);
    void Listen();
    bool Accept(CBlockingSocket& connection, sockaddr* peer);
    void Close();
    void Connect(const sockaddr* address);
    int Send(const char* bytes, int count, int seconds);
    int Write(const char* bytes, int count, int seconds);
    int Receive(char* buffer, int size, int seconds);
    int SendDatagram(const char* bytes, int count, const sockaddr* destination, int seconds);
    // Waits until a datagram arrives (`seconds` is not used); -1 for a failed
    // receive, a datagram longer than `size` (10040) and an empty one. Throws nothing.
    int ReceiveDatagram(char* buffer, int size, sockaddr* sender, int seconds);
    void GetPeerAddr(sockaddr* address);
    void GetSockAddr(sockaddr* address);
    static CSockAddr GetHostByName(const char* name, std::uint16_t port = 0);
    static const char* GetHostByAddr(const sockaddr* address);
    void Cleanup();
    operator unsigned int() const { return m_hSocket; }  // NOLINT

    talvex::SocketHandle m_hSocket;
    std::recursive_mutex m_csLock;                   // held by Send and Accept

private:
    void CloseDescriptor(int fd);
};
namespace talvex {
// A dotted IPv4 address, or a host name resolved to its first IPv4 address, in host
// order; nothing when the text is none of these.
std::optional<std::uint32_t> ResolveIPv4(const std::string& host);
}  // namespace talvex

extern const CRuntimeClass classCBlockingSocket;

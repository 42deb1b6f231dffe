#pragma once
// The raw floors of `talvex bench`: plain UDP sockets on loopback that do no more
// than a protocol must, an echo thread that answers every datagram, a ping-pong of
// one datagram size and a stop-and-wait transfer of full-size datagrams.
#include "BenchHarness.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

namespace bench {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr int kFullDatagramBytes = 1416;   // the largest packet: 16-byte header and 350 words
constexpr int kFullPayloadBytes = 1384;    // the data bytes of one chunk
constexpr int kAcknowledgeBytes = 16;      // an empty answer packet
constexpr std::int64_t kMebibyte = 1 << 20;

// A UDP socket bound to 127.0.0.1 on a port the system chose; closed with the object.
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    unsigned short Port() const { return m_port; }
    void SetReceiveTimeout(std::chrono::milliseconds timeout);
    bool SendTo(const void* bytes, int size, unsigned short port, std::uint32_t hostAddress = kLoopback);
    // Receives one datagram; its size, or -1 on time-out or failure.
    int Receive(void* buffer, int capacity);

private:
    int m_fd = -1;
    unsigned short m_port = 0;
};

// Answers every datagram to its sender from its own thread: with the same bytes
// (mirror) or with a 16-byte acknowledgement. Runs until the object goes.
class RawEcho {
public:
    enum class Answer { Mirror, Acknowledge };
    explicit RawEcho(Answer answer);
    ~RawEcho();
    RawEcho(const RawEcho&) = delete;
    RawEcho& operator=(const RawEcho&) = delete;

    unsigned short Port() const { return m_socket.Port(); }

private:
    void Serve();
    UdpSocket m_socket;
    Answer m_answer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The calling side of a raw ping-pong or transfer towards one echo port.
class RawClient {
public:
    explicit RawClient(unsigned short echoPort);
    bool IsOpen() const { return m_socket.IsOpen(); }
    // One datagram of `bytes` out and its answer back.
    std::optional<double> RoundTrip(int bytes);
    // `count` round trips back to back; the time per round trip.
    std::optional<double> BackToBack(int bytes, int count);
    // Stop-and-wait transfer of `payloadBytes` in full-size datagrams, each acknowledged.
    std::optional<double> StopAndWait(std::int64_t payloadBytes);

private:
    bool Exchange(int bytes);
    UdpSocket m_socket;
    unsigned short m_echoPort;
    std::vector<char> m_packet;
    std::vector<char> m_answer;
};

}  // namespace bench

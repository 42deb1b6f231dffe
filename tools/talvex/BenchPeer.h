#pragma once
// The second process of `talvex bench`: the program re-executed as
// `talvex bench --peer DIR KEY PORT`, which serves a raw UDP echo, a library caller
// over UDP, the answering side of a shared-memory channel and the floor's responder,
// until its standard input closes. PeerSession is the measuring process's handle on it.
#include "BenchSharedMemory.h"
#include "DemoSupport.h"
#include "Subprocess.h"

#include <Talvex05u.h>

#include <memory>
#include <string>

namespace bench {

// The peer's main: DIR holds the region files and the floor page, KEY is the channel's
// key, PORT the number that names the peer's telegram signal.
int RunBenchPeer(const std::string& directory, int key, unsigned short signalPort);

class PeerSession {
public:
    PeerSession() = default;
    ~PeerSession();
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    // Makes the temporary directory, opens the owning side of the channel and the
    // floor, starts the peer and waits for its ports. False with a reason.
    bool Start(std::string* why);

    unsigned short PeerRawPort() const { return m_rawPort; }
    unsigned short PeerCallerPort() const { return m_callerPort; }
    CRP_CallerEx* Channel() const { return m_channel.get(); }
    FloorCaller* Floor() const { return m_floor.get(); }

private:
    void Stop();
    std::string m_directory;
    // Ports held for the whole run: their numbers name the two telegram signals.
    cli::HeldPort m_ownSignal;
    cli::HeldPort m_peerSignal;
    std::unique_ptr<CRP_CallerEx> m_channel;
    bool m_channelOpen = false;
    std::unique_ptr<FloorCaller> m_floor;
    cli::Subprocess m_peer;
    bool m_peerStarted = false;
    unsigned short m_rawPort = 0;
    unsigned short m_callerPort = 0;
};

}  // namespace bench

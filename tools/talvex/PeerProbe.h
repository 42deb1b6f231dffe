#pragma once
// Asks a peer's system whether anything listens on the peer's port, as ping and nc
// do: one RP_PING from a socket of the tool's own with IP_RECVERR, so that an ICMP
// "port unreachable" comes back as an error instead of waiting out a time-out.
#include "Address.h"

namespace cli {

enum class ProbeResult {
    Listening,        // something answered the ping
    NothingListens,   // the peer's system reported the port unreachable
    Unknown,          // neither within the wait (a silent peer, or a firewall that drops)
};

// Sends the ping and waits at most `waitMs` for an answer or an error.
ProbeResult ProbePeer(const PeerAddress& peer, int waitMs);

// "nothing listens on HOST:PORT" for the messages of call and ping.
std::string NothingListensText(const PeerAddress& peer);

}  // namespace cli

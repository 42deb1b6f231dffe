#pragma once
// Test and fuzzing seam of the caller's dispatcher: hands HandleDatagram one
// datagram directly and captures what the caller would send instead of sending it.
#include "talvex05u/caller/RP_Caller.h"
#include <cstdint>

namespace talvex {

// Receives every datagram the caller would send while the sink is installed.
class DatagramSink {
public:
    virtual ~DatagramSink() = default;
    virtual void OnSend(const std::int32_t* packet, int bytes, const CSockAddr& destination) = 0;
};

struct DatagramSeam {
    // Installs `sink` (nullptr removes it). Install before the caller sends anything.
    static void InstallSink(CRP_Caller& caller, DatagramSink* sink) { caller.m_pSeamSink = sink; }
    // Runs the dispatcher's per-datagram logic on `bytes` as if it came from `sender`.
    static void Handle(CRP_Caller& caller, const std::int32_t* words, int size, const CSockAddr& sender) {
        caller.HandleDatagram(words, size, sender);
    }
};

}  // namespace talvex

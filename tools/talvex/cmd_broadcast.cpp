// talvex broadcast: broadcasts one call to every caller listening on a port and
// prints each answer with its sender.
#include "Address.h"
#include "CallBlock.h"
#include "ClientCaller.h"
#include "Commands.h"
#include "Options.h"
#include "ValueParser.h"

#include <Talvex05u.h>

#include <cstdio>

namespace {

constexpr const char* kCommand = "broadcast";

void PrintHelp() {
    std::printf(
        "usage: talvex broadcast PORT PROC [VALUES...] [--wait MS] [--read KINDS]\n"
        "\n"
        "Broadcasts procedure PROC with the values (one packet, at most 350 words) to\n"
        "255.255.255.255:PORT, waits MS milliseconds (default 500) and prints one line\n"
        "per answer with its sender. Exit 1 when no answer came.\n"
        "  %s"
        "  --read KINDS   decode each answer as a comma list of l f d i64 u64 s a:N b\n",
        cli::TypedValueHelp());
}

// An answer keeps only its first packet; the words behind it never arrived.
void KeepArrivedWords(CBCastItem* item) {
    if (item->m_nPacketPos >= 0 && item->m_nPacketPos < item->m_nLength) {
        std::printf("  (first %d of %d words: a broadcast answer keeps its first packet)\n", item->m_nPacketPos,
                    item->m_nLength);
        item->m_nLength = item->m_nPacketPos;
    }
}

}  // namespace

int RunBroadcast(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"wait", true}, {"read", true}}, &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    const auto& args = options->positionals;
    if (args.size() < 2) return cli::UsageError(kCommand, "expected PORT PROC [VALUES...]");
    auto port = cli::ParsePort(args[0], 1, "PORT", &error);
    if (!port) return cli::UsageError(kCommand, error);
    auto wait = cli::ParseInteger(options->Get("wait", "500"), 0, 600000, "--wait", &error);
    if (!wait) return cli::UsageError(kCommand, error);
    std::vector<cli::ReadKind> kinds;
    if (options->Has("read")) {
        auto parsed = cli::ParseReadList(options->Get("read"), &error);
        if (!parsed) return cli::UsageError(kCommand, error);
        kinds = std::move(*parsed);
    }
    CUdpDataBlockEx block;
    std::vector<std::string> callArguments(args.begin() + 1, args.end());
    if (!cli::BuildCallBlock(callArguments, talvex::kMaxPacketDataWords, "a broadcast is one packet of at most 350", &block,
                             &error))
        return cli::UsageError(kCommand, error);

    CRP_Caller caller;
    cli::StartedCaller started(&caller);
    if (!started.Start(&error)) {
        std::fprintf(stderr, "talvex broadcast: %s\n", error.c_str());
        return 1;
    }
    CBCastReturnBlock* answers = caller.BroadcastCall(*port, &block, static_cast<std::int32_t>(*wait));
    std::uint32_t count = answers == nullptr ? 0 : answers->GetSize();
    for (std::uint32_t i = 0; i < count; ++i) {
        CBCastItem* item = answers->GetAt(i);
        std::printf("answer from %s:%u: procedure %d, %d words\n", cli::DottedAddress(item->m_addrFrom.IPAddr()).c_str(),
                    item->m_addrFrom.Port(), item->m_nProcedure, cli::DataWords(*item));
        KeepArrivedWords(item);
        if (kinds.empty()) {
            cli::PrintWords(*item, "  ");
        } else {
            cli::PrintDecoded(*item, kinds, "  ");
        }
    }
    std::fflush(stdout);
    if (count == 0) {
        std::fprintf(stderr, "talvex broadcast: no answer on port %u within %lld ms\n", *port,
                     static_cast<long long>(*wait));
        return 1;
    }
    return 0;
}

// talvex event: sends one one-way event (a call that expects no answer) to a peer.
#include "Address.h"
#include "CallBlock.h"
#include "ClientCaller.h"
#include "Commands.h"
#include "Json.h"
#include "Options.h"
#include "ValueParser.h"

#include <Talvex05u.h>

#include <cstdio>

namespace {

constexpr const char* kCommand = "event";

void PrintHelp() {
    std::printf(
        "usage: talvex event HOST:PORT PROC [VALUES...] [--json]\n"
        "\n"
        "Sends procedure PROC with the values to the peer at HOST:PORT as a one-way\n"
        "event (one packet, at most 350 words); nothing waits for an answer.\n"
        "  %s"
        "  --json         print what was sent as one JSON object\n",
        cli::TypedValueHelp());
}

}  // namespace

int RunEvent(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"json", false}}, &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    const auto& args = options->positionals;
    if (args.size() < 2) return cli::UsageError(kCommand, "expected HOST:PORT PROC [VALUES...]");
    CUdpDataBlockEx block;
    std::vector<std::string> eventArguments(args.begin() + 1, args.end());
    if (!cli::BuildCallBlock(eventArguments, talvex::kMaxPacketDataWords, "an event is one packet of at most 350", &block,
                             &error))
        return cli::UsageError(kCommand, error);
    auto peer = cli::ParsePeerAddress(args[0], &error);
    if (!peer) return cli::UsageError(kCommand, error);

    CRP_Caller caller;
    cli::StartedCaller started(&caller);
    if (!started.Start(&error)) {
        std::fprintf(stderr, "talvex event: %s\n", error.c_str());
        return cli::kExitCannotStart;
    }
    try {
        caller.SetRemoteSocket(peer->port, peer->hostAddress);
        caller.SendEvent(&block);
    } catch (CBlockingSocketException* exception) {
        std::fprintf(stderr, "talvex event: %s\n", cli::TakeExceptionText(exception).c_str());
        return 1;
    }
    if (options->Has("json")) {
        cli::JsonLine().AddText("to", peer->ToString()).Add("procedure", block.m_nProcedure)
            .Add("word_count", cli::DataWords(block)).Print();
        return cli::kExitDone;
    }
    std::printf("event sent to %s: procedure %d, %s\n", peer->ToString().c_str(), block.m_nProcedure,
                cli::Counted(cli::DataWords(block), "word").c_str());
    return cli::kExitDone;
}

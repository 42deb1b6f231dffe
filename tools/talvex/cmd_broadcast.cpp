// talvex broadcast: broadcasts one call to every caller listening on a port and
// prints each answer with its sender.
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

constexpr const char* kCommand = "broadcast";

void PrintHelp() {
    std::printf(
        "usage: talvex broadcast PORT PROC [VALUES...] [--wait MS] [--read KINDS] [--json]\n"
        "\n"
        "Broadcasts procedure PROC with the values (one packet, at most 350 words) to\n"
        "255.255.255.255:PORT, waits MS milliseconds (default 500) and prints one line\n"
        "per answer with its sender. Exit 1 when no answer came.\n"
        "  %s"
        "  --read KINDS   decode each answer as a comma list of l f d i64 u64 s a:N b\n"
        "  --json         print each answer as one JSON object\n",
        cli::TypedValueHelp());
}

// An answer keeps only its first packet; the words behind it never arrived.
// True when the answer was cut to them.
bool KeepArrivedWords(CBCastItem* item) {
    if (item->m_nPacketPos < 0 || item->m_nPacketPos >= item->m_nLength) return false;
    item->m_nLength = item->m_nPacketPos;
    return true;
}

std::string Sender(const CBCastItem& item) {
    return cli::DottedAddress(item.m_addrFrom.IPAddr()) + ":" + std::to_string(item.m_addrFrom.Port());
}

void PrintAnswer(CBCastItem* item, const std::vector<cli::ReadKind>& kinds) {
    std::printf("answer from %s: procedure %d, %s\n", Sender(*item).c_str(), item->m_nProcedure,
                cli::Counted(cli::DataWords(*item), "word").c_str());
    std::int32_t announced = item->m_nLength;
    if (KeepArrivedWords(item))
        std::printf("  (first %d of %d words: a broadcast answer keeps its first packet)\n", item->m_nLength, announced);
    if (kinds.empty()) {
        cli::PrintWords(*item, "  ");
    } else {
        cli::PrintDecoded(*item, kinds, "  ");
    }
}

void PrintAnswerJson(CBCastItem* item, const std::vector<cli::ReadKind>& kinds) {
    cli::JsonLine line;
    line.AddText("from", Sender(*item)).Add("procedure", item->m_nProcedure).Add("word_count", cli::DataWords(*item));
    bool cut = KeepArrivedWords(item);
    std::string error;
    if (kinds.empty()) {
        line.Add("words", cli::WordsJson(*item));
    } else {
        line.Add("values", cli::DecodedJson(cli::DecodeValues(*item, kinds, &error)));
        if (!error.empty()) line.AddText("error", error);
    }
    line.Add("first_packet_only", std::string(cut ? "true" : "false")).Print();
}

}  // namespace

int RunBroadcast(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"wait", true}, {"read", true}, {"json", false}}, &error);
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
        return cli::kExitCannotStart;
    }
    CBCastReturnBlock* answers = caller.BroadcastCall(*port, &block, static_cast<std::int32_t>(*wait));
    std::uint32_t count = answers == nullptr ? 0 : answers->GetSize();
    for (std::uint32_t i = 0; i < count; ++i) {
        if (options->Has("json")) {
            PrintAnswerJson(answers->GetAt(i), kinds);
        } else {
            PrintAnswer(answers->GetAt(i), kinds);
        }
    }
    std::fflush(stdout);
    if (count == 0) {
        std::fprintf(stderr, "talvex broadcast: no answer on port %u within %lld ms\n", *port,
                     static_cast<long long>(*wait));
        return cli::kExitNoAnswer;
    }
    return cli::kExitDone;
}

// Second process for the message queue tests: posts thread messages to a thread
// of another process.
//   mq_peer <thread id> <message> <count>
// posts <count> messages numbered <message> with wParam = i and lParam = -i, then
// prints "posted <n>" (the number of posts that succeeded) and exits 0 when all did, 1 otherwise.
#include "talvex05u/platform/MessageQueue.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: mq_peer <thread id> <message> <count>\n");
        return 2;
    }
    const auto threadId = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const auto message = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const long count = std::strtol(argv[3], nullptr, 10);
    long posted = 0;
    for (long i = 0; i < count; ++i) {
        if (talvex::PostThreadMessage(threadId, message, static_cast<std::uint64_t>(i), -static_cast<std::int64_t>(i))) ++posted;
    }
    std::printf("posted %ld\n", posted);
    std::fflush(stdout);
    return posted == count ? 0 : 1;
}

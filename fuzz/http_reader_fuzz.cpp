// Fuzz target for CHttpBlockingSocket: a byte stream, cut at points the input
// chooses, arrives through a Unix stream socket pair; a feeder thread writes one
// piece at a time and waits until the reader has taken it, so the reader's receives
// see the cuts. The reader runs a sequence of ReadHttpHeaderLine and
// ReadHttpResponse calls with destination sizes from the input (zero and negative
// ones too), each into a buffer of exactly that size. Checked: results stay within
// the destination, a header line is terminated, the read-ahead count stays within
// its buffer, and what the reads hand out is the stream, in order and without gaps.
// Where lines end and are cut is http_socket_test's.
#include "fuzz_input.h"
#include "talvex05u/socket/BlockingSocketException.h"
#include "talvex05u/socket/HttpBlockingSocket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using fuzzinput::Check;

constexpr int kReceiveSeconds = 5;     // never reached: the feeder always closes its end
constexpr int kMaxOperations = 64;
constexpr int kMaxPieces = 64;
constexpr auto kDrainWait = std::chrono::milliseconds(2);

// The two ends of a stream socket pair, closed on destruction.
struct SocketPair {
    int reader = -1;
    int writer = -1;
    std::atomic<bool> readerDone{false};   // the reader takes nothing more
    SocketPair() {
        int fds[2];
        Check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
        reader = fds[0];
        writer = fds[1];
    }
    ~SocketPair() {
        if (writer >= 0) ::close(writer);
        ::close(reader);
    }
    int Unread() const {
        int pending = 0;
        return ::ioctl(reader, FIONREAD, &pending) == 0 ? pending : 0;
    }
};

// The input: a stream, the cut points and the reader's operations.
struct Script {
    std::string stream;
    std::vector<std::size_t> pieceEnds;
    struct Operation {
        bool headerLine;
        int size;
    };
    std::vector<Operation> operations;
};

Script ParseScript(const std::uint8_t* data, std::size_t size) {
    Script script;
    fuzzinput::InputReader input(data, size);
    const int operations = 1 + input.Byte() % kMaxOperations;
    for (int i = 0; i < operations; ++i) {
        const std::uint8_t kind = input.Byte();
        int opSize = input.UInt16();
        if (kind & 0x80)
            opSize = -(opSize & 0xFF);          // zero and negative sizes
        else if (kind & 0x40)
            opSize = opSize % 24;               // tiny destinations
        else opSize = opSize % 2100;
        script.operations.push_back({(kind & 1) == 0, opSize});
    }
    const int pieces = 1 + input.Byte() % kMaxPieces;
    std::vector<std::size_t>& cuts = script.pieceEnds;
    for (int i = 0; i < pieces - 1; ++i) cuts.push_back(input.UInt16());
    script.stream.resize(input.Remaining());
    input.Bytes(script.stream.data(), script.stream.size());
    for (std::size_t& cut : cuts) cut = script.stream.empty() ? 0 : cut % (script.stream.size() + 1);
    cuts.push_back(script.stream.size());
    std::sort(cuts.begin(), cuts.end());
    return script;
}

// Writes the stream piece by piece, waiting after each until the reader has
// taken it (or briefly, when the reader does not want more yet), then closes.
void Feed(SocketPair& pair, const Script& script) {
    std::size_t from = 0;
    for (const std::size_t end : script.pieceEnds) {
        while (from < end) {
            const ssize_t written = ::send(pair.writer, script.stream.data() + from, end - from, MSG_NOSIGNAL);
            if (written <= 0) break;
            from += static_cast<std::size_t>(written);
        }
        const auto deadline = std::chrono::steady_clock::now() + kDrainWait;
        while (!pair.readerDone && pair.Unread() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        if (from < end || pair.readerDone) break;
    }
    ::shutdown(pair.writer, SHUT_WR);
}

// The `count` bytes a read handed out must be the stream's next ones, from `next` on.
void Consume(const std::string& stream, std::size_t& next, const char* bytes, std::size_t count) {
    Check(next + count <= stream.size() && std::memcmp(stream.data() + next, bytes, count) == 0);
    next += count;
}

// Runs one read, of a header line or of a response, into a destination of exactly `size` bytes.
void Read(CHttpBlockingSocket& socket, bool headerLine, int size, const std::string& stream, std::size_t& next) {
    std::unique_ptr<char[]> destination(new char[static_cast<std::size_t>(std::max(size, 0))]);
    if (!headerLine) {
        const int count = socket.ReadHttpResponse(destination.get(), size, kReceiveSeconds);
        Check(count >= 0 && count <= std::max(size, 0));
        return Consume(stream, next, destination.get(), static_cast<std::size_t>(count));
    }
    const int length = socket.ReadHttpHeaderLine(destination.get(), size, kReceiveSeconds);
    Check(size >= 1 && length >= 0 && length <= size - 1);
    Check(destination[static_cast<std::size_t>(length)] == '\0');
    Consume(stream, next, destination.get(), static_cast<std::size_t>(length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Script script = ParseScript(data, size);
    SocketPair pair;
    std::thread feeder([&] { Feed(pair, script); });

    CHttpBlockingSocket socket;
    socket.m_hSocket = static_cast<talvex::SocketHandle>(pair.reader);
    std::size_t next = 0;   // how much of the stream the reads handed out
    for (const Script::Operation& operation : script.operations) {
        try {
            Read(socket, operation.headerLine, operation.size, script.stream, next);
        } catch (CBlockingSocketException* e) {
            e->Delete();   // the end of the stream, a full buffer without a line, or a bad size
        }
        Check(socket.m_nReadBuf >= 0 && socket.m_nReadBuf <= CHttpBlockingSocket::kReadBufferSize);
    }
    // Leave nothing unread in the pipe that would keep the feeder waiting.
    pair.readerDone = true;
    ::shutdown(pair.reader, SHUT_RD);
    feeder.join();
    return 0;
}

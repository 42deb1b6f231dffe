// Noise for the soak run: sends random datagrams (random sizes up to 1500 bytes,
// random bytes, and now and then a header that names a real message type) to the
// given ports on loopback at a steady rate until its time is up.
// Usage: soak_noise <seconds> <datagrams per second> <port>...
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: soak_noise <seconds> <datagrams per second> <port>...\n");
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const int rate = std::max(1, std::atoi(argv[2]));
    std::vector<sockaddr_in> targets;
    for (int i = 3; i < argc; ++i) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[i])));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        targets.push_back(to);
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 1;
    std::mt19937 random(12345);
    std::vector<std::uint8_t> datagram(1500);
    const auto pause = std::chrono::microseconds(1000000 / rate);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long sent = 0;
    for (auto next = std::chrono::steady_clock::now(); next < end; next += pause) {
        const std::size_t size = std::uniform_int_distribution<std::size_t>(0, datagram.size())(random);
        for (std::size_t i = 0; i < size; ++i) datagram[i] = static_cast<std::uint8_t>(random());
        if (size >= 4 && random() % 2 == 0) {
            // A real message type, so that the noise reaches the handlers behind the type switch.
            static constexpr std::int32_t kTypes[] = {1, 2, 3, 4, 7, 8, 9, 11, 12};
            const std::int32_t type = kTypes[random() % 9];
            std::memcpy(datagram.data(), &type, sizeof type);
        }
        const sockaddr_in& to = targets[static_cast<std::size_t>(random()) % targets.size()];
        if (::sendto(fd, datagram.data(), size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) ++sent;
        std::this_thread::sleep_until(next + pause);
    }
    ::close(fd);
    std::printf("noise sent %ld datagrams\n", sent);
    return 0;
}

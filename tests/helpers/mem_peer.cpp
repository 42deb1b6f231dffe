// Second process for the mem primitive tests: takes, releases and holds named locks,
// waits on and sets named signals, writes mapped regions, and counts under a lock.
// Usage: mem_peer <command> [arguments]; every result goes to stdout as one line.
#include "talvex05u/platform/Event.h"
#include "talvex05u/shmem/MemPrimitives.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

int Say(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
    return 0;
}

int SayNumber(const char* label, long long value) {
    std::printf("%s %lld\n", label, value);
    std::fflush(stdout);
    return 0;
}

void SleepMilliseconds(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::wstring Widen(const char* text) {
    return std::wstring(text, text + std::strlen(text));
}

// take <key>: opens the lock, takes it and leaves without releasing it.
int Take(int key) {
    void* lock = nullptr;
    if (memLockOpen(key, &lock) != 0) return Say("absent");
    SayNumber("take", memLock(lock));
    memLockDestroy(lock);
    return 0;
}

// release <key>: opens the lock and releases it once.
int Release(int key) {
    void* lock = nullptr;
    if (memLockOpen(key, &lock) != 0) return Say("absent");
    SayNumber("release", memUnlock(lock));
    memLockDestroy(lock);
    return 0;
}

// hold <key> <ms>: keeps a handle to the lock open for a while, then closes it.
int Hold(int key, int milliseconds) {
    void* lock = nullptr;
    if (memLockOpen(key, &lock) != 0) return Say("absent");
    Say("open");
    SleepMilliseconds(milliseconds);
    memLockDestroy(lock);
    return Say("closed");
}

// abandon <key>: creates a lock and a signal and ends without closing them, as a crash would.
int Abandon(int key) {
    void* lock = nullptr;
    void* signal = nullptr;
    memLockCreate(key, &lock);
    memSignalCreate(key, &signal);
    Say("abandoned");
    std::_Exit(0);
}

// wait <key> <ms>: opens the signal and waits for it.
int WaitSignal(int key, int milliseconds) {
    void* signal = nullptr;
    if (memSignalOpen(key, &signal) != 0) return Say("absent");
    Say("waiting");
    SayNumber("wait", talvex::WaitForEvent(signal, static_cast<std::uint32_t>(milliseconds)));
    memSignalDestroy(signal);
    return 0;
}

// set <key>: opens the signal and sets it.
int SetSignal(int key) {
    void* signal = nullptr;
    if (memSignalOpen(key, &signal) != 0) return Say("absent");
    SayNumber("set", talvex::SetEvent(signal) ? 1 : 0);
    memSignalDestroy(signal);
    return 0;
}

// count <path> <mapkey> <lockkey> <n>: adds 1 to the region's first word n times,
// each time under the lock, with a read-modify-write that only the lock makes safe.
int Count(const char* path, int mapKey, int lockKey, int times) {
    mappedRegionS* region = nullptr;
    const int mapped = memmap(Widen(path).c_str(), mapKey, 4096, &region);
    void* lock = nullptr;
    if (mapped != 0 || memLockOpen(lockKey, &lock) != 0) {
        memunmap(&region);
        return Say("failed");
    }
    volatile std::int32_t* counter = reinterpret_cast<std::int32_t*>(memGetAddr(&region));
    for (int i = 0; i < times; ++i) {
        memLock(lock);
        const std::int32_t value = *counter;
        if ((i & 63) == 0) sched_yield();
        *counter = value + 1;
        memUnlock(lock);
    }
    memLockDestroy(lock);
    memunmap(&region);
    return Say("counted");
}

// write <path> <mapkey> <value>: maps the file and writes the value into its second word.
int WriteWord(const char* path, int mapKey, int value) {
    mappedRegionS* region = nullptr;
    const int result = memmap(Widen(path).c_str(), mapKey, 4096, &region);
    if (result == 0) reinterpret_cast<std::int32_t*>(memGetAddr(&region))[1] = value;
    SayNumber("write", result);
    memunmap(&region);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The clock is ready before main does anything: the library made it ready at load.
    double now = 0.0;
    const int clockReady = memtimeGet(&now);
    if (argc < 2) return 2;
    const std::string command = argv[1];
    auto number = [&](int index) { return index < argc ? std::atoi(argv[index]) : 0; };
    if (command == "clock") return SayNumber("clock", clockReady);
    if (command == "take") return Take(number(2));
    if (command == "release") return Release(number(2));
    if (command == "hold") return Hold(number(2), number(3));
    if (command == "abandon") return Abandon(number(2));
    if (command == "wait") return WaitSignal(number(2), number(3));
    if (command == "set") return SetSignal(number(2));
    if (command == "count" && argc >= 6) return Count(argv[2], number(3), number(4), number(5));
    if (command == "write" && argc >= 5) return WriteWord(argv[2], number(3), number(4));
    return 2;
}

// The mem regions: a file on disk mapped read/write and shared (MAP_SHARED), so two
// processes that map the same path see the same bytes. The mapping key names the
// mapping on the original platform; here the file itself is what both share, so the
// key only has to agree between the two sides and is not used further.
#include "talvex05u/shmem/MemPrimitives.h"

#include <cerrno>
#include <climits>
#include <cwchar>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/OwnedDescriptor.h"

namespace {

constexpr int kZeroBlockBytes = 2048;

using FileDescriptor = talvex::detail::OwnedDescriptor;

// The path in the multibyte encoding of the process's locale; false when it has no such form.
bool NarrowPath(const wchar_t* path, std::string* narrow) {
    std::mbstate_t state{};
    const wchar_t* source = path;
    const std::size_t bytes = std::wcsrtombs(nullptr, &source, 0, &state);
    if (bytes == static_cast<std::size_t>(-1)) return false;
    narrow->assign(bytes + 1, '\0');
    source = path;
    state = std::mbstate_t{};
    std::wcsrtombs(narrow->data(), &source, bytes + 1, &state);
    narrow->resize(bytes);
    return true;
}

bool WriteAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// A new file starts with whole 2048-byte blocks of zeros; a remainder is left to the mapping.
bool WriteZeroBlocks(int fd, std::int32_t length) {
    static const char zeros[kZeroBlockBytes] = {};
    for (std::int32_t block = 0; block < length / kZeroBlockBytes; ++block) {
        if (!WriteAll(fd, zeros, sizeof zeros)) return false;
    }
    return true;
}

// Maps `length` bytes of the open file, extending a shorter file to that length.
char* MapWholeFile(int fd, std::int32_t length) {
    if (length <= 0) return nullptr;   // an empty mapping cannot be made
    struct stat info {};
    if (::fstat(fd, &info) != 0) return nullptr;
    if (info.st_size < length && ::ftruncate(fd, length) != 0) return nullptr;
    void* view = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : static_cast<char*>(view);
}

}  // namespace

int memmap(const wchar_t* path, int /*key*/, int size, mappedRegionS** region) {
    if (region == nullptr) return -3;
    auto* record = new (std::nothrow) mappedRegionS{nullptr, 0};
    if (record == nullptr) return -3;
    *region = record;   // the caller releases it with memunmap, whatever happens below

    std::string narrow;
    if (path == nullptr || !NarrowPath(path, &narrow)) return -1;
    struct stat info {};
    bool exists = true;
    if (::stat(narrow.c_str(), &info) != 0) {
        if (errno != ENOENT) return -1;
        exists = false;
    }
    if (exists && info.st_size > INT_MAX) return -3;   // larger than a length can say
    const std::int32_t length = exists ? static_cast<std::int32_t>(info.st_size) : size;

    FileDescriptor fd(::open(narrow.c_str(), O_RDWR | O_CLOEXEC | (exists ? 0 : O_CREAT), 0666));
    if (!fd.Valid()) return -3;
    if (!exists && !WriteZeroBlocks(fd.Get(), length)) return -3;
    char* view = MapWholeFile(fd.Get(), length);
    if (view == nullptr) return -3;
    record->address = view;
    record->length = length;
    return 0;
}

void memunmap(mappedRegionS** region) {
    if (region == nullptr) return;
    mappedRegionS* record = *region;
    if (record != nullptr) {
        if (record->address != nullptr) ::munmap(record->address, static_cast<std::size_t>(record->length));
        delete record;
    }
    *region = nullptr;
}

char* memGetAddr(mappedRegionS** region) {
    return (region != nullptr && *region != nullptr) ? (*region)->address : nullptr;
}

int memGetLength(mappedRegionS** region) {
    return (region != nullptr && *region != nullptr) ? (*region)->length : 0;
}

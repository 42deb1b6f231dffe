// The mem regions: a file on disk mapped read/write and shared (MAP_SHARED), so two
// processes that map the same path see the same bytes. The mapping key names the
// mapping on the original platform; here the file itself is what both share, so the
// key only has to agree between the two sides and is not used further.
//
// The file belongs to its user: a new one is made with O_CREAT|O_EXCL and mode 0600,
// an existing one is opened without following a symbolic link and used only when its
// descriptor shows it is the effective user's own private file (OwnObject.h); its
// length comes from that descriptor, never from the path. The descriptor stays open
// with the mapping so that MappedFileBytes can tell how long the file is now.
#include "talvex05u/shmem/MemPrimitives.h"

#include "shmem/MappedFileBytes.h"

#include <cerrno>
#include <climits>
#include <cwchar>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "platform/OwnObject.h"
#include "platform/OwnedDescriptor.h"

namespace {

constexpr int kZeroBlockBytes = 2048;
constexpr mode_t kOwnerOnly = 0600;
// Opening an existing file and creating a missing one race with other openers; after
// this many rounds something keeps making and removing the name.
constexpr int kMaxOpenRounds = 16;
constexpr int kCannotExamine = -1;
constexpr int kOtherFailure = -3;

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

// The descriptors of the mapped regions' files, by record.
class OpenRegionFiles {
public:
    void Keep(const mappedRegionS* record, FileDescriptor fd) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_files[record] = std::move(fd);
    }
    void Drop(const mappedRegionS* record) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_files.erase(record);
    }
    std::int64_t Bytes(const mappedRegionS* record) {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto found = m_files.find(record);
        struct stat info {};
        if (found == m_files.end() || ::fstat(found->second.Get(), &info) != 0) return -1;
        return info.st_size;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<const mappedRegionS*, FileDescriptor> m_files;
};

OpenRegionFiles& RegionFiles() {
    static OpenRegionFiles files;
    return files;
}

int Refuse(const std::string& path, const std::string& why) {
    talvex::ReportRefusedObject("region file", path, why);
    return kOtherFailure;
}

// Opens the region file at `path`, or creates it when missing: 0 with the
// descriptor in `fd` (and `created` set for a new file), else the result of memmap.
int OpenOwnRegionFile(const std::string& path, FileDescriptor* fd, bool* created) {
    for (int round = 0; round < kMaxOpenRounds; ++round) {
        fd->Reset(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        if (fd->Valid()) {
            std::string why;
            if (!talvex::IsOwnPrivateFile(fd->Get(), &why)) return Refuse(path, why);
            *created = false;
            return 0;
        }
        if (errno == ENOTDIR || errno == ENAMETOOLONG) return kCannotExamine;
        if (errno == ELOOP) return Refuse(path, "a symbolic link");
        if (errno == EACCES) return Refuse(path, "not accessible to this user");
        if (errno != ENOENT) return kOtherFailure;
        fd->Reset(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, kOwnerOnly));
        if (fd->Valid()) {
            (void)::fchmod(fd->Get(), kOwnerOnly);   // ours just now; undoes a umask that took the owner's bits
            *created = true;
            return 0;
        }
        if (errno != EEXIST) return kOtherFailure;   // made by someone else meanwhile: open it in the next round
    }
    return kOtherFailure;
}

}  // namespace

int memmap(const wchar_t* path, int /*key*/, int size, mappedRegionS** region) {
    if (region == nullptr) return kOtherFailure;
    auto* record = new (std::nothrow) mappedRegionS{nullptr, 0};
    if (record == nullptr) return kOtherFailure;
    *region = record;   // the caller releases it with memunmap, whatever happens below

    std::string narrow;
    if (path == nullptr || !NarrowPath(path, &narrow)) return kCannotExamine;
    FileDescriptor fd;
    bool created = false;
    const int opened = OpenOwnRegionFile(narrow, &fd, &created);
    if (opened != 0) return opened;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) return kOtherFailure;
    if (!created && info.st_size > INT_MAX) return kOtherFailure;   // larger than a length can say
    const std::int32_t length = created ? size : static_cast<std::int32_t>(info.st_size);

    if (created && !WriteZeroBlocks(fd.Get(), length)) return kOtherFailure;
    char* view = MapWholeFile(fd.Get(), length);
    if (view == nullptr) return kOtherFailure;
    record->address = view;
    record->length = length;
    RegionFiles().Keep(record, std::move(fd));
    return 0;
}

std::int64_t talvex::MappedFileBytes(mappedRegionS* const* region) {
    return (region != nullptr && *region != nullptr) ? RegionFiles().Bytes(*region) : -1;
}

void memunmap(mappedRegionS** region) {
    if (region == nullptr) return;
    mappedRegionS* record = *region;
    if (record != nullptr) {
        RegionFiles().Drop(record);
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

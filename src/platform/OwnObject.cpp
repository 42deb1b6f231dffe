// Ownership checks of local objects: everything is read from the opened descriptor
// (or from lstat for a directory, which is never followed), so a name swapped
// between the check and the use cannot slip another user's object in.
#include "platform/OwnObject.h"

#include "talvex05u/socket/BlockingSocketException.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {

constexpr mode_t kGroupOrOtherBits = 0077;
constexpr mode_t kPrivateDirectoryMode = 0700;

bool Refuse(std::string* why, const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
}

std::string OwnerText(const struct stat& info) {
    return "owned by user " + std::to_string(info.st_uid) + ", not " + std::to_string(::geteuid());
}

}  // namespace

std::string EffectiveUserTag() { return std::to_string(::geteuid()); }

bool IsOwnPrivateFile(int fd, std::string* why) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return Refuse(why, std::string("cannot be examined: ") + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return Refuse(why, "not a regular file");
    if (info.st_uid != ::geteuid()) return Refuse(why, OwnerText(info));
    if ((info.st_mode & kGroupOrOtherBits) != 0) return Refuse(why, "open to group or others");
    if (info.st_nlink != 1) return Refuse(why, "has " + std::to_string(info.st_nlink) + " links");
    return true;
}

bool IsOwnPrivateDirectory(const std::string& path, std::string* why) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return Refuse(why, std::string("cannot be examined: ") + std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) return Refuse(why, "not a directory");
    if (info.st_uid != ::geteuid()) return Refuse(why, OwnerText(info));
    if ((info.st_mode & 0777) != kPrivateDirectoryMode) return Refuse(why, "mode is not 0700");
    return true;
}

bool EnsureOwnPrivateDirectory(const std::string& path, std::string* why) {
    // A directory just made is ours; chmod undoes whatever the umask took away.
    if (::mkdir(path.c_str(), kPrivateDirectoryMode) == 0) (void)::chmod(path.c_str(), kPrivateDirectoryMode);
    else if (errno != EEXIST) return Refuse(why, std::string("cannot be created: ") + std::strerror(errno));
    return IsOwnPrivateDirectory(path, why);
}

void ReportRefusedObject(const char* what, const std::string& path, const std::string& why) {
    const std::string line = std::string(what) + " refused: " + path + ": " + why;
    EmitDiagnostic(line.c_str());
}

}  // namespace talvex

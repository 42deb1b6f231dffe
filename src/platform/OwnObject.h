#pragma once
// Checks that a local object (a shared-memory object, region file or queue directory)
// belongs to the effective user alone before the library uses it, and reports a
// refusal to the diagnostic sink with the reason.
#include <string>

namespace talvex {

// The effective user id as text, the part of every local object's name that keeps
// two users' objects of the same key apart.
std::string EffectiveUserTag();

// True when the open descriptor is a regular file with one link, owned by the
// effective user, with no group or other permission bits. Otherwise false, and
// `why` says which of these failed.
bool IsOwnPrivateFile(int fd, std::string* why);

// Makes `path` a directory only the effective user can enter, or checks that the one
// found there is: not a symbolic link, owned by the effective user, mode 0700.
bool EnsureOwnPrivateDirectory(const std::string& path, std::string* why);
// The same check without creating anything.
bool IsOwnPrivateDirectory(const std::string& path, std::string* why);

// Sends "<what>: <path>: <why>" to the diagnostic sink.
void ReportRefusedObject(const char* what, const std::string& path, const std::string& why);

}  // namespace talvex

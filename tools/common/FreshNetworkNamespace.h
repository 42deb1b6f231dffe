#pragma once
// The check that a process runs in a fresh private network namespace, made before
// anything brings interfaces up or adds routes (the broadcast runs of `talvex demo`
// and `talvex bench`, and the broadcast tests): outside one, those changes would hit
// the computer's own network.
#include <string>

namespace talvex {

// The network namespace this process is in, as the link text of /proc/self/ns/net.
std::string OwnNetworkNamespace();

// True in a network namespace other than `outerNamespace` (the one the starting
// process was in) that is fresh: loopback still down and no interface but loopback
// and the tunnel devices the kernel puts into every new one. `why` says what is
// wrong otherwise.
bool InFreshPrivateNamespace(const char* outerNamespace, std::string& why);

// Hands this process's namespace to the children it starts next (in the environment),
// for the check below.
void PassOwnNamespaceToChildren();
// InFreshPrivateNamespace against the namespace that the parent passed down; false
// (with `why`) when none was passed.
bool InFreshNamespaceOfParent(std::string& why);

}  // namespace talvex

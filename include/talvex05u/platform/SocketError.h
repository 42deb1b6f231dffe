#pragma once
// The calling thread's last socket error, held as a Windows Sockets number so that
// error numbers mean the same on every peer. Every failing socket call of the
// library stores its errno here through MapErrnoToSocketError.
#include <cstdint>

namespace talvex {

int WSAGetLastError();
void WSASetLastError(int error);
// The Windows Sockets number for an errno value: 0 for 0, the table's number for the
// errno values it knows, and 20000 + errno (a number no Windows Sockets table holds) otherwise.
int MapErrnoToSocketError(int errnoValue);
// Stores MapErrnoToSocketError(errno) as the last socket error and returns it.
int SetLastSocketErrorFromErrno();
// The Windows Sockets number (11001 to 11004) for a getaddrinfo result.
int MapResolverError(int gaiError);

}  // namespace talvex

// The thread's last socket error in Windows Sockets numbering, and the one table
// that maps errno and resolver results onto those numbers.
#include "talvex05u/platform/SocketError.h"

#include <cerrno>
#include <netdb.h>

namespace talvex {
namespace {

thread_local int t_lastSocketError = 0;

constexpr int kUnknownErrnoBase = 20000;

struct ErrnoMapping {
    int errnoValue;
    int socketError;
};

// EAGAIN and EWOULDBLOCK are one value on Linux; both rows stay for other systems.
constexpr ErrnoMapping kErrnoTable[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},       {EMFILE, 10024},          {EAGAIN, 10035},          {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},    {ECONNRESET, 10054},      {ENOBUFS, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
};

constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;

}  // namespace

int WSAGetLastError() { return t_lastSocketError; }

void WSASetLastError(int error) { t_lastSocketError = error; }

int MapErrnoToSocketError(int errnoValue) {
    if (errnoValue == 0) return 0;
    for (const ErrnoMapping& row : kErrnoTable) {
        if (row.errnoValue == errnoValue) return row.socketError;
    }
    return kUnknownErrnoBase + errnoValue;
}

int SetLastSocketErrorFromErrno() {
    const int error = MapErrnoToSocketError(errno);
    t_lastSocketError = error;
    return error;
}

int MapResolverError(int gaiError) {
    switch (gaiError) {
    case 0:
        return 0;
    case EAI_NONAME:
        return kHostNotFound;
    case EAI_AGAIN:
        return kTryAgain;
    case EAI_FAIL:
        return kNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:  // the name exists but has no IPv4 address
        return kNoData;
#endif
    default:
        return kNoRecovery;
    }
}

}  // namespace talvex

#pragma once
// Talvex05u: remote procedure calls over UDP/IPv4 with a shared-memory shortcut
// between two processes of one computer. Applications include this one header.
#include "talvex05u/platform/Platform.h"
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/socket/SockAddr.h"
#include "talvex05u/socket/BlockingSocketException.h"
#include "talvex05u/socket/BlockingSocket.h"
#include "talvex05u/socket/HttpBlockingSocket.h"
#include "talvex05u/caller/BCastReturnBlock.h"
#include "talvex05u/caller/SocketErrorText.h"
#include "talvex05u/caller/CallerCounters.h"
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/shmem/MemPrimitives.h"
#include "talvex05u/support/StringConversions.h"
#include "talvex05u/support/RPCDebugStream.h"

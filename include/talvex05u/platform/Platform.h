#pragma once
// Everything the platform layer offers applications, in one include.
#include "talvex05u/platform/CString.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"
#include "talvex05u/platform/RuntimeClass.h"
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Thread.h"

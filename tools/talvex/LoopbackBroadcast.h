#pragma once
// Broadcasts on loopback for the broadcast runs of `talvex demo` and `talvex bench`,
// which take place in a private network namespace of their own.
#include <string>

namespace cli {

// Brings loopback up and routes 255.255.255.255 on it from 127.0.0.1, after checking
// that this process runs in the fresh private namespace its parent run created; false
// with `why` when it does not (nothing is changed then) or a step fails.
bool SetUpLoopbackBroadcast(std::string* why);

}  // namespace cli

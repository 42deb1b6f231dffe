#include "LoopbackBroadcast.h"

#include "FreshNetworkNamespace.h"
#include "Subprocess.h"

#include <chrono>
#include <vector>

namespace cli {

namespace {

// Runs one command to its end; false with its output when it fails.
bool RunCommand(const std::vector<std::string>& args, std::string* output) {
    Subprocess command;
    if (!command.Start(args[0], args, output)) return false;
    std::string line;
    while (command.ReadLine(&line, std::chrono::seconds(5))) *output += line + " ";
    return command.Wait(std::chrono::seconds(5)) == 0;
}

}  // namespace

bool SetUpLoopbackBroadcast(std::string* why) {
    // Never the computer's own network: only the namespace made for this run.
    if (!talvex::InFreshNamespaceOfParent(*why)) return false;
    std::string output;
    if (!RunCommand({"ip", "link", "set", "lo", "up"}, &output)) {
        *why = "ip link set lo up failed: " + output;
        return false;
    }
    output.clear();
    if (!RunCommand({"ip", "route", "add", "broadcast", "255.255.255.255", "dev", "lo", "table", "local", "scope",
                     "link", "src", "127.0.0.1"},
                    &output)) {
        *why = "no broadcast route on lo: " + output;
        return false;
    }
    return true;
}

}  // namespace cli

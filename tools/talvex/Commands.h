#pragma once
// The subcommands of the talvex program. Each takes the arguments after its name
// (argv[0] is the subcommand) and returns one of the exit codes below.

namespace cli {
inline constexpr int kExitDone = 0;
inline constexpr int kExitNoAnswer = 1;      // no answer in time, nothing listens, an answer --read cannot decode
inline constexpr int kExitUsage = 2;         // bad usage or bad input
inline constexpr int kExitCannotStart = 3;   // a port in use or not of this computer, no socket
}  // namespace cli

int RunServe(int argc, char** argv);
int RunCall(int argc, char** argv);
int RunEvent(int argc, char** argv);
int RunPing(int argc, char** argv);
int RunBroadcast(int argc, char** argv);
int RunDemo(int argc, char** argv);
int RunTraceViewer(int argc, char** argv);
int RunBench(int argc, char** argv);
int RunStat(int argc, char** argv);

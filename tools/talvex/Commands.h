#pragma once
// The subcommands of the talvex program. Each takes the arguments after its name
// (argv[0] is the subcommand) and returns the exit code: 0 done, 1 no answer or
// time-out, 2 bad usage or bad input.

int RunServe(int argc, char** argv);
int RunCall(int argc, char** argv);
int RunEvent(int argc, char** argv);
int RunPing(int argc, char** argv);
int RunBroadcast(int argc, char** argv);
int RunDemo(int argc, char** argv);
int RunTraceViewer(int argc, char** argv);
int RunBench(int argc, char** argv);

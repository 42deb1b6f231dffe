// Placeholder until the subcommand is written.
#include "Commands.h"
#include <cstdio>

int RunCall(int, char**) {
    std::fprintf(stderr, "talvex: this command is not available yet\n");
    return 2;
}

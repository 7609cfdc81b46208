/*
 * Field devices behind pseudo-terminals, served by a child process, for the
 * benchmarks that measure a program on those terminals: the child's CPU is
 * then not the measured process's.
 */
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

struct TerminalServer {
    pid_t child = -1;
    int toChild = -1;
    /* The terminals' paths, one per port; fewer when the child failed. */
    std::vector<std::string> paths;
};

/* Starts the child with one revision-5 field device per terminal. Call it
   before any thread exists: the child must not inherit a half-held lock. */
TerminalServer StartTerminalServer(int ports);
/* Ends the child and returns the CPU seconds it used. */
double StopTerminalServer(TerminalServer& server);

} // namespace bench

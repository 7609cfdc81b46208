/* hartctl: a command-line client of HartDriver. */
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Commands.h"

namespace {

void OnSignal(int)
{
    hartctl::RequestStop();
}

} // namespace

int main(int argc, char** argv)
{
    /* No SA_RESTART: the dispatcher's wait returns at once and the monitor sees the flag. */
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::vector<std::string> args(argv + 1, argv + argc);
    return hartctl::Run(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}

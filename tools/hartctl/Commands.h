/* hartctl's commands. Each returns the program's exit status. */
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Options.h"
#include "Session.h"

namespace hartctl {

/* The whole program: arguments without the program's name. Progress is shown on err only when it is a terminal. */
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal = false);

int RunCommand(const Options& options, std::ostream& out, std::ostream& err);
/* The same in a session made beforehand, e.g. one whose simulated devices a test has set up. */
int RunCommand(Session& session, const Options& options, std::ostream& out, std::ostream& err);

/* Set from a signal handler: a monitor, poll, burst show or identify stops at its next look. */
void RequestStop();
/* RunCommand with options does this itself; one with a session made beforehand leaves the flag as it is. */
void ClearStop();

} // namespace hartctl

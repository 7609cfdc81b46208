/* hartctl poll: a device's variables read on an interval, one CSV or JSON line per read. */
#pragma once

#include <iosfwd>
#include <string>

#include "Options.h"
#include "Session.h"

namespace hartctl {

int Poll(Session& session, const Options& options, std::ostream& out, std::ostream& err);

/* A CSV cell: quoted when it holds a comma, a quote or a line break. */
std::string CsvCell(const std::string& text);

/* UTC as 2024-05-01T12:00:00.123Z, from the host's system time (100 ns since 1601). */
std::string UtcTime(long long systemTime);

} // namespace hartctl

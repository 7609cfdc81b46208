/* hartctl burst: a device's burst mode started and stopped, and the burst frames on the line shown. */
#pragma once

#include <iosfwd>

#include "Options.h"
#include "Session.h"

namespace hartctl {

int Burst(Session& session, const Options& options, std::ostream& out, std::ostream& err);

} // namespace hartctl

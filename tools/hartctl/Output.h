/* How hartctl shows frames, answers and failures, as text for people or as JSON. */
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "Protocol.h"
#include "Session.h"

namespace hartctl {

/* "no answer ... (STATUS_TRANSACTION_TIMED_OUT)" on err, or {"error": ...} on out with --json. */
void PrintFailure(const Failure& failure, bool json, std::ostream& out, std::ostream& err);

/* An answer's status bytes and the universal command's fields. */
nlohmann::json AnswerJson(const Frame& frame);
/* One line: "ACK from 0: cmd 0, success, status ok" and what the command answered. */
std::string DescribeAnswer(const Frame& frame);

/* Local time of day with milliseconds, from the host's system time (100 ns since 1601). */
std::string TimeOfDay(long long systemTime);

} // namespace hartctl

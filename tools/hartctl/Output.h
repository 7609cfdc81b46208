/* How hartctl shows frames, answers and failures, as text for people or as JSON. */
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "Session.h"
#include "app/Frame.h"
#include "app/Universal.h"

namespace hartctl {

/* "no answer ... (STATUS_TRANSACTION_TIMED_OUT)" on err, or {"error": ...} on out with --json. */
void PrintFailure(const Failure& failure, bool json, std::ostream& out, std::ostream& err);

/* The response code as people read it: "success", "communication error: framing error", ... */
std::string ResponseText(std::uint16_t command, std::uint8_t code);
/* An answer's status bytes and the universal command's fields, numbers as numbers. */
nlohmann::json AnswerJson(const hart::Frame& frame);
/* One line: "command 0: success, device ok" and what the command answered. */
std::string DescribeAnswer(const hart::Frame& frame);
std::string ValueText(const hart::Field& field);
/* {code, name, key}: 32 is {"code": 32, "name": "degC", "key": "deg_c"}; name and key null for a code not known. */
nlohmann::json UnitJson(std::uint8_t code);
/* {code, <flag>: true|false} for every device status bit. */
nlohmann::json DeviceStatusJson(std::uint8_t status);
/* {value, unit}, the value as the float's shortest decimal. */
nlohmann::json MeasurementJson(const hart::Measurement& measurement);

/* Local time of day with milliseconds, from the host's system time (100 ns since 1601). */
std::string TimeOfDay(long long systemTime);

} // namespace hartctl

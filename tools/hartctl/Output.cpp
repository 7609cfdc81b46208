#include "Output.h"

#include <ctime>
#include <ostream>

#include "app/Status.h"

namespace hartctl {

namespace {

using nlohmann::json;

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}

std::string Joined(const std::vector<std::string>& words, const char* none)
{
    if (words.empty()) {
        return none;
    }
    std::string text;
    for (const std::string& word : words) {
        text += text.empty() ? "" : ", ";
        text += word;
    }
    return text;
}

/* "configuration changed" as a JSON key. */
std::string Key(std::string name)
{
    for (char& c : name) {
        if (c == ' ' || c == '-') {
            c = '_';
        }
    }
    return name;
}

json FlagsJson(const hart::Flags& flags)
{
    json value{{"code", flags.bits}, {"set", flags.names}};
    for (const hart::NamedBit& bit : flags.table) {
        value[bit.key] = (flags.bits & bit.bit) != 0;
    }
    return value;
}

json ValueJson(const hart::Value& value)
{
    struct Visitor {
        json operator()(std::int64_t v) const { return v; }
        json operator()(double v) const { return v; }
        json operator()(const std::string& v) const { return v; }
        json operator()(const hart::Measurement& v) const { return MeasurementJson(v); }
        json operator()(const hart::Date& v) const { return json{{"day", v.day}, {"month", v.month}, {"year", v.year}}; }
        json operator()(const hart::Flags& v) const { return FlagsJson(v); }
        json operator()(const hart::Bytes& v) const { return hart::Hex(v); }
    };
    return std::visit(Visitor{}, value);
}

} // namespace

json UnitJson(std::uint8_t code)
{
    const std::string name = hart::UnitName(code);
    const std::string key = hart::UnitKey(code);
    return json{{"code", code},
                {"name", name.empty() ? json(nullptr) : json(name)},
                {"key", key.empty() ? json(nullptr) : json(key)}};
}

json DeviceStatusJson(std::uint8_t status)
{
    json value{{"code", status}};
    for (const hart::NamedBit& bit : hart::DeviceStatusBits()) {
        value[bit.key] = (status & bit.bit) != 0;
    }
    return value;
}

json MeasurementJson(const hart::Measurement& measurement)
{
    return json{{"value", hart::Widen(measurement.value)}, {"unit", UnitJson(measurement.unit)}};
}

void PrintFailure(const Failure& failure, bool json, std::ostream& out, std::ostream& err)
{
    if (json) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(failure.status));
        out << nlohmann::json{{"error", failure.sentence}, {"status", StatusName(failure.status)}, {"code", code}}
                   .dump()
            << "\n";
    }
    err << "hartctl: " << failure.sentence << " (" << StatusName(failure.status) << ")\n";
}

std::string ResponseText(std::uint16_t command, std::uint8_t code)
{
    hart::Response response = hart::DecodeResponse(command, code);
    if (!response.communicationErrors.empty()) {
        return response.name + ": " + Joined(response.communicationErrors, "");
    }
    return response.name;
}

std::string ValueText(const hart::Field& field)
{
    struct Visitor {
        int hexDigits;
        std::string operator()(std::int64_t v) const
        {
            if (hexDigits == 0) {
                return std::to_string(v);
            }
            char text[32];
            std::snprintf(text, sizeof(text), "0x%0*llX", hexDigits, static_cast<unsigned long long>(v));
            return text;
        }
        std::string operator()(double v) const { return Number(v); }
        std::string operator()(const std::string& v) const { return v; }
        std::string operator()(const hart::Measurement& v) const
        {
            return Number(hart::Widen(v.value)) + " " + hart::UnitText(v.unit);
        }
        std::string operator()(const hart::Date& v) const
        {
            char text[16];
            std::snprintf(text, sizeof(text), "%04u-%02u-%02u", v.year, v.month, v.day);
            return text;
        }
        std::string operator()(const hart::Flags& v) const { return Joined(v.names, "none"); }
        std::string operator()(const hart::Bytes& v) const { return hart::Hex(v); }
    };
    return std::visit(Visitor{field.hexDigits}, field.value);
}

json AnswerJson(const hart::Frame& frame)
{
    json answer;
    if (frame.data.size() < 2 || frame.Kind() == hart::FrameKind::Stx) {
        return answer;
    }
    const hart::Response response = hart::DecodeResponse(frame.command, frame.data[0]);
    answer["response_code"] = response.code;
    answer["response"] = response.name;
    answer["response_class"] = hart::ResponseClassName(response.kind);
    if (!response.communicationErrors.empty()) {
        answer["communication_errors"] = response.communicationErrors;
    }
    answer["device_status"] = DeviceStatusJson(frame.data[1]);
    json fields = json::object();
    for (const hart::Field& field : hart::DecodeFields(frame.command, frame.Payload())) {
        fields[Key(field.name)] = ValueJson(field.value);
    }
    answer["fields"] = fields;
    return answer;
}

std::string DescribeAnswer(const hart::Frame& frame)
{
    std::string text = "command " + std::to_string(frame.command);
    if (frame.Kind() == hart::FrameKind::Stx) {
        if (!frame.data.empty()) {
            text += ", data " + hart::Hex(frame.data);
        }
        return text;
    }
    if (frame.data.size() < 2) {
        text += ", no status bytes";
        return text;
    }
    text += ": ";
    text += ResponseText(frame.command, frame.data[0]);
    std::vector<std::string> status = hart::BitNames(hart::DeviceStatusBits(), frame.data[1]);
    text += status.empty() ? ", device ok" : ", device: " + Joined(status, "");
    for (const hart::Field& field : hart::DecodeFields(frame.command, frame.Payload())) {
        text += "; ";
        text += field.name;
        text += " ";
        text += ValueText(field);
    }
    return text;
}

std::string TimeOfDay(long long systemTime)
{
    constexpr long long kUnixEpoch = 116444736000000000LL;
    const long long sinceEpoch = systemTime - kUnixEpoch;
    std::time_t seconds = static_cast<std::time_t>(sinceEpoch / 10'000'000);
    const int milliseconds = static_cast<int>((sinceEpoch / 10'000) % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
    return text;
}

} // namespace hartctl

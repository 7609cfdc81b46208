#include "Output.h"

#include <ctime>
#include <ostream>

namespace hartctl {

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

nlohmann::json AnswerJson(const Frame& frame)
{
    nlohmann::json answer;
    if (frame.data.size() >= 2 && frame.Kind() != FrameKind::Stx) {
        answer["response_code"] = frame.data[0];
        answer["response"] = ResponseText(frame.data[0]);
        answer["device_status"] = frame.data[1];
        answer["device_status_text"] = DeviceStatusText(frame.data[1]);
        nlohmann::json fields = nlohmann::json::object();
        for (const auto& [name, value] : DecodeAnswer(frame.command, std::span(frame.data).subspan(2))) {
            fields[name] = value;
        }
        answer["fields"] = fields;
    }
    return answer;
}

std::string DescribeAnswer(const Frame& frame)
{
    std::string text = "command " + std::to_string(frame.command);
    if (frame.Kind() == FrameKind::Stx) {
        if (!frame.data.empty()) {
            text += ", data " + Hex(frame.data);
        }
        return text;
    }
    if (frame.data.size() < 2) {
        text += ", no status bytes";
        return text;
    }
    text += ": ";
    text += ResponseText(frame.data[0]);
    std::vector<std::string> status = DeviceStatusText(frame.data[1]);
    if (status.empty()) {
        text += ", device ok";
    } else {
        text += ", device: ";
        for (std::size_t i = 0; i < status.size(); i++) {
            text += i == 0 ? "" : ", ";
            text += status[i];
        }
    }
    for (const auto& [name, value] : DecodeAnswer(frame.command, std::span(frame.data).subspan(2))) {
        text += "; ";
        text += name;
        text += " ";
        text += value;
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

#include "Poll.h"

#include <charconv>
#include <ctime>
#include <ostream>

#include <nlohmann/json.hpp>

#include "Exchange.h"
#include "Output.h"
#include "app/Status.h"
#include "app/Universal.h"

namespace hartctl {

namespace {

using hart::Bytes;
using hart::Measurement;
using nlohmann::json;
using platform::Ticks;

/* How often a poll waiting for its next read looks at the stop flag. */
constexpr Ticks kStep = std::chrono::milliseconds(100);
/* The units of command 2's and 3's loop current and percent of range, which the answer does not carry. */
constexpr std::uint8_t kMilliamps = 39;
constexpr std::uint8_t kPercent = 57;

/* One column group of a read: a value with its unit, and for device variables their status. */
struct Slot {
    std::optional<Measurement> measurement;
    std::optional<std::uint8_t> status;
};

/* What a poll reads: the command, its data and the names of its values. */
struct Selection {
    std::uint8_t command = 1;
    Bytes data;
    std::vector<std::string> names;
    /* Device variables (command 9) carry a status each. */
    bool withStatus = false;
};

Selection SelectionFor(const Options& options)
{
    Selection selection;
    if (options.pollWhat == "pv") {
        selection.command = 1;
        selection.names = {"pv"};
    } else if (options.pollWhat == "current") {
        selection.command = 2;
        selection.names = {"loop_current", "percent_of_range"};
    } else if (options.pollWhat == "dynamic") {
        selection.command = 3;
        selection.names = {"loop_current", "pv", "sv", "tv", "qv"};
    } else {
        std::vector<std::uint8_t> codes(options.variableCodes.begin(), options.variableCodes.end());
        const hart::Command command = hart::ReadDeviceVariables(codes);
        selection.command = command.number;
        selection.data = command.data;
        selection.withStatus = true;
        for (std::uint8_t code : codes) {
            selection.names.push_back("var" + std::to_string(code));
        }
    }
    return selection;
}

/* The values in the order of the names; nullopt when the payload is too short for the command. */
std::optional<std::vector<Slot>> Decode(const Selection& selection, std::span<const std::uint8_t> payload)
{
    std::vector<Slot> slots(selection.names.size());
    switch (selection.command) {
    case 1: {
        auto pv = hart::DecodePrimaryVariable(payload);
        if (!pv) {
            return std::nullopt;
        }
        slots[0].measurement = *pv;
        return slots;
    }
    case 2: {
        auto loop = hart::DecodeLoopCurrentAndPercent(payload);
        if (!loop) {
            return std::nullopt;
        }
        slots[0].measurement = Measurement{kMilliamps, loop->current};
        slots[1].measurement = Measurement{kPercent, loop->percent};
        return slots;
    }
    case 3: {
        auto dynamic = hart::DecodeDynamicVariables(payload);
        if (!dynamic) {
            return std::nullopt;
        }
        slots[0].measurement = Measurement{kMilliamps, dynamic->loopCurrent};
        /* A device with fewer dynamic variables leaves the last columns empty. */
        for (std::size_t i = 0; i < dynamic->variables.size() && i + 1 < slots.size(); i++) {
            slots[i + 1].measurement = dynamic->variables[i];
        }
        return slots;
    }
    default: {
        auto variables = hart::DecodeDeviceVariables(payload);
        if (!variables) {
            return std::nullopt;
        }
        /* Slots come back in the order asked; each is matched by its code all the same. */
        const Bytes& codes = selection.data;
        for (std::size_t i = 0; i < codes.size(); i++) {
            for (const hart::DeviceVariable& variable : variables->slots) {
                if (variable.code == codes[i] && !slots[i].measurement) {
                    slots[i].measurement = variable.measurement;
                    slots[i].status = variable.status;
                    break;
                }
            }
        }
        return slots;
    }
    }
}

/* The float as the shortest decimal that reads back as it. */
std::string NumberText(float value)
{
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof(text), value);
    return error == std::errc() ? std::string(text, end) : std::string();
}

std::string StatusText(std::uint8_t status)
{
    hart::DeviceVariable variable;
    variable.status = status;
    return std::string(variable.Quality()) + ", " + variable.Limit();
}

class Printer {
public:
    Printer(const Selection& selection, bool json, std::ostream& out) : selection_(selection), json_(json), out_(out) {}

    void Header()
    {
        if (json_) {
            return;
        }
        std::string line = "time";
        for (const std::string& name : selection_.names) {
            line += "," + name + "," + name + "_unit";
            if (selection_.withStatus) {
                line += "," + name + "_status";
            }
        }
        out_ << line << ",device_status,error" << std::endl;
    }

    void Values(const std::string& time, const std::vector<Slot>& slots, std::uint8_t deviceStatus,
                const std::string& warning)
    {
        if (json_) {
            json line{{"time", time}, {"command", selection_.command}};
            for (std::size_t i = 0; i < slots.size(); i++) {
                if (!slots[i].measurement) {
                    line[selection_.names[i]] = nullptr;
                    continue;
                }
                json value = MeasurementJson(*slots[i].measurement);
                if (slots[i].status) {
                    hart::DeviceVariable variable;
                    variable.status = *slots[i].status;
                    value["status"] = json{{"code", *slots[i].status},
                                           {"quality", variable.Quality()},
                                           {"limit", variable.Limit()}};
                }
                line[selection_.names[i]] = value;
            }
            line["device_status"] = DeviceStatusJson(deviceStatus);
            if (!warning.empty()) {
                line["warning"] = warning;
            }
            out_ << line.dump() << std::endl;
            return;
        }
        std::string line = time;
        for (const Slot& slot : slots) {
            line += ",";
            line += slot.measurement ? NumberText(slot.measurement->value) : "";
            line += ",";
            line += slot.measurement ? CsvCell(hart::UnitText(slot.measurement->unit)) : "";
            if (selection_.withStatus) {
                line += ",";
                line += slot.status ? CsvCell(StatusText(*slot.status)) : "";
            }
        }
        line += "," + std::to_string(deviceStatus) + ",";
        line += warning.empty() ? "" : CsvCell("warning: " + warning);
        out_ << line << std::endl;
    }

    void Error(const std::string& time, const std::string& why, const std::optional<Failure>& failure)
    {
        if (json_) {
            json line{{"time", time}, {"command", selection_.command}, {"error", why}};
            if (failure) {
                line["status"] = StatusName(failure->status);
            }
            out_ << line.dump() << std::endl;
            return;
        }
        const std::size_t columns = selection_.names.size() * (selection_.withStatus ? 3 : 2) + 1;
        out_ << time << std::string(columns, ',') << "," << CsvCell(why) << std::endl;
    }

private:
    const Selection& selection_;
    bool json_;
    std::ostream& out_;
};

/* The port is gone or will send nothing: asking again cannot help. */
bool Hopeless(const std::optional<Failure>& failure)
{
    return failure && (failure->status == STATUS_CANCELLED || failure->status == STATUS_INVALID_DEVICE_STATE);
}

} // namespace

std::string CsvCell(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string UtcTime(long long systemTime)
{
    constexpr long long kUnixEpoch = 116444736000000000LL;
    const long long sinceEpoch = systemTime - kUnixEpoch;
    const std::time_t seconds = static_cast<std::time_t>(sinceEpoch / 10'000'000);
    const int milliseconds = static_cast<int>((sinceEpoch / 10'000) % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}

int Poll(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    std::optional<TransactionPort> port = OpenForTransactions(session, options, 2, out, err);
    if (!port) {
        return kFailed;
    }
    DeviceLink device(session, port->file, options, port->settings.RetryCount + 1);
    const Selection selection = SelectionFor(options);
    Printer printer(selection, options.json, out);
    printer.Header();
    /* Finding the device takes a transaction or two: done before the clock starts, the first interval is
       not eaten by it. A device not found yet is looked for again with each read, and each says so. */
    std::optional<Failure> notFound;
    device.Find(notFound);
    if (Hopeless(notFound)) {
        PrintFailure(*notFound, options.json, out, err);
        return kFailed;
    }

    platform::Host& host = session.Host();
    const Ticks every = options.every;
    const Ticks start = host.Now();
    const Ticks end = options.duration > 0
                          ? start + std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(options.duration))
                          : Ticks::max();
    Ticks next = start;
    int reads = 0;
    int good = 0;
    while (!StopRequested() && (options.count == 0 || reads < options.count)) {
        while (!StopRequested() && host.Now() < next && host.Now() < end) {
            host.RunFor(std::min({kStep, next - host.Now(), end - host.Now()}));
        }
        if (StopRequested() || host.Now() >= end) {
            break;
        }
        const std::string time = UtcTime(host.SystemTime());
        const Reply reply = device.Ask(selection.command, selection.data);
        reads++;
        std::optional<std::vector<Slot>> slots;
        if (reply.CarriedOut()) {
            slots = Decode(selection, reply.exchange->answer->Payload());
        }
        if (slots) {
            good++;
            const hart::Frame& answer = *reply.exchange->answer;
            const hart::Response response = hart::DecodeResponse(answer.command, answer.data[0]);
            printer.Values(time, *slots, answer.data[1], response.Succeeded() ? std::string() : response.name);
        } else {
            const std::string why = reply.CarriedOut() ? "the answer is too short for its command" : reply.Why();
            printer.Error(time, why, reply.failure);
            err << "hartctl: " << time << ": " << why << std::endl;
            if (Hopeless(reply.failure)) {
                return kFailed;
            }
        }
        /* A read that took longer than the interval does not make the next ones come in a rush. */
        next += every;
        while (next <= host.Now()) {
            next += every;
        }
    }
    if (reads > 0 && good == 0) {
        err << "hartctl: none of " << reads << (reads == 1 ? " read" : " reads") << " succeeded\n";
        return kFailed;
    }
    return 0;
}

} // namespace hartctl

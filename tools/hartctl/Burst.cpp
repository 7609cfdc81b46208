#include "Burst.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "Exchange.h"
#include "Output.h"
#include "app/CommandNames.h"
#include "app/CommonPractice.h"

namespace hartctl {

namespace {

using hart::Bytes;
using hart::Hex;
using nlohmann::json;

/* How often a waiting burst show looks at the stop flag. */

/* One write of the burst configuration. */
struct Step {
    hart::Command command;
};

/* The writes burst on or off makes, in the order a device wants them: what to publish, then the mode. */
std::optional<std::vector<Step>> StepsFor(const Options& options, std::optional<std::uint8_t> message,
                                          std::string& why)
{
    std::vector<Step> steps;
    if (options.burstAction == "on") {
        if (options.burstPeriod) {
            /* Continuous publishing: the longest period is the period itself. */
            const auto period = *hart::TimeValue::FromSeconds(options.burstPeriod->count() / 1000.0);
            steps.push_back({hart::WriteBurstPeriod(message.value_or(0), period, period)});
        }
        if (!options.variableCodes.empty()) {
            std::vector<std::uint8_t> codes(options.variableCodes.begin(), options.variableCodes.end());
            std::optional<hart::Command> variables = hart::WriteBurstDeviceVariables(codes, message);
            if (!variables) {
                why = "a device before revision 7 takes at most four burst device variables";
                return std::nullopt;
            }
            steps.push_back({*variables});
        }
        if (options.burstCommand) {
            std::optional<hart::Command> command =
                hart::WriteBurstCommandNumber(static_cast<std::uint16_t>(*options.burstCommand), message);
            if (!command) {
                why = "a device before revision 7 publishes only commands up to 255";
                return std::nullopt;
            }
            steps.push_back({*command});
        }
        steps.push_back({hart::WriteBurstMode(hart::BurstMode::TokenPassing, message)});
    } else {
        steps.push_back({hart::WriteBurstMode(hart::BurstMode::Off, message)});
    }
    return steps;
}

int Switch(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    std::optional<TransactionPort> port = OpenForTransactions(session, options, 2, out, err);
    if (!port) {
        return kFailed;
    }
    DeviceLink device(session, port->file, options, port->settings.RetryCount + 1);
    std::optional<Failure> notFound;
    std::optional<hart::Identity> identity = device.Find(notFound);
    if (notFound) {
        PrintFailure(*notFound, options.json, out, err);
        return kFailed;
    }
    /* Burst messages came with revision 7. A device asked in short frames is taken for an older one, and
       one named by its long address alone, which tells no revision, for a current one. */
    const bool messages = identity ? identity->universalRevision >= 7 : !device.Target().shortFrame;
    const std::optional<std::uint8_t> message =
        messages ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(options.burstMessage)) : std::nullopt;
    std::string why;
    std::optional<std::vector<Step>> steps = StepsFor(options, message, why);
    if (!steps) {
        err << "hartctl: " << why << "\n";
        return kUsage;
    }

    json done = json::array();
    int status = 0;
    int completed = 0;
    std::string stopped;
    for (const Step& step : *steps) {
        const Reply reply = device.Ask(step.command.number, step.command.data);
        const std::string name = hart::CommandText(step.command.number);
        if (options.json) {
            json line{{"command", step.command.number}, {"name", name}};
            if (reply.exchange) {
                line["request"] = Hex(reply.exchange->request);
            }
            if (reply.exchange && reply.exchange->answer) {
                line.update(AnswerJson(*reply.exchange->answer));
            }
            if (!reply.CarriedOut()) {
                line["error"] = reply.Why();
            }
            done.push_back(line);
        } else if (reply.exchange && reply.exchange->answer) {
            out << name << ": " << DescribeAnswer(*reply.exchange->answer) << "\n";
        }
        if (!reply.CarriedOut()) {
            status = reply.failure ? kFailed : kRefused;
            stopped = name + ": " + reply.Why();
            break;
        }
        completed++;
    }
    if (options.json) {
        json result{{"port", port->comName}, {"burst", options.burstAction}, {"steps", done}};
        if (!stopped.empty()) {
            result["error"] = stopped;
        }
        out << result.dump(2) << "\n";
    } else if (stopped.empty()) {
        out << "burst mode " << options.burstAction << "\n";
    }
    if (!stopped.empty()) {
        /* What went before stays written in the device: say so, for the user to put right. */
        err << "hartctl: " << stopped;
        if (completed > 0) {
            err << " (the " << completed << (completed == 1 ? " write" : " writes") << " before it took effect)";
        }
        err << "\n";
    }
    return status;
}

int Show(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    platform::File port;
    std::string comName;
    if (auto failure = session.OpenPort(options.port, port, comName)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    /* Burst frames carry either master's bit in turn: both kinds are the device's publishing. */
    if (auto failure = SetReadMask(port, HART_RCV_MASK_BACK | HART_RCV_MASK_OTHER_BACK)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    return WatchFrames(
        session, port, options,
        [&](const HeardFrame& heard) {
            if (options.json) {
                json line{{"time", heard.time}, {"frame", Hex(heard.bytes)}, {"check_byte_ok", heard.checkByteOk}};
                if (heard.frame) {
                    line["address"] = heard.frame->AddressText();
                    line["command"] = heard.frame->command;
                    line.update(AnswerJson(*heard.frame));
                }
                out << line.dump() << std::endl;
                return;
            }
            out << heard.time << "  "
                << (heard.frame ? heard.frame->AddressText() + "  " + DescribeAnswer(*heard.frame) : "unreadable frame")
                << (heard.checkByteOk ? "" : " (wrong check byte)") << std::endl;
        },
        out, err);
}

} // namespace

int Burst(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    if (options.burstAction == "show") {
        return Show(session, options, out, err);
    }
    return Switch(session, options, out, err);
}

} // namespace hartctl

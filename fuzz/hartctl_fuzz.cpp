/*
 * hartctl's own parsing: its command line, hex bytes and frames. The input
 * picks one of them. Whatever the user types, parsing ends with options or
 * a usage error and never throws; options it accepts describe a request it
 * can frame; hex text and frames survive a round trip.
 */
#include <chrono>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "Options.h"
#include "app/Frame.h"
#include "app/Status.h"
#include "app/Universal.h"

namespace {

using hart::Bytes;

void CommandLine(fuzz::FuzzInput& input)
{
    /* NUL-separated arguments, as the shell hands them over. */
    const Bytes raw = input.Rest();
    std::vector<std::string> args(1);
    for (std::uint8_t c : raw) {
        if (c == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(c);
        }
    }
    if (args.size() > 24) {
        return;
    }
    std::ostringstream out;
    std::ostringstream err;
    hartctl::ParseOutcome outcome;
    try {
        outcome = hartctl::ParseArguments(args, out, err);
    } catch (const std::exception& e) {
        fuzz::Fail(std::string("the command line parser threw: ") + e.what());
    }
    if (!outcome.options) {
        if (outcome.exitCode != 0 && outcome.exitCode != 2) {
            fuzz::Fail("usage ended with exit status " + std::to_string(outcome.exitCode));
        }
        if (outcome.exitCode == 2 && err.str().empty()) {
            fuzz::Fail("a usage error that says nothing");
        }
        return;
    }
    const hartctl::Options& options = *outcome.options;
    if (outcome.exitCode != 0) {
        fuzz::Fail("options to run with, and exit status " + std::to_string(outcome.exitCode));
    }
    if (options.command == "send") {
        if (options.hartCommand < 0 || options.hartCommand > 0xFFFF || options.address < 0 || options.address > 63 ||
            options.preambles < 2 || options.preambles > 20) {
            fuzz::Fail("send accepted a command, address or preamble count out of range");
        }
        if (!options.longAddress.empty()) {
            const auto id = hart::ParseHex(options.longAddress);
            if (!id || id->size() != 5) {
                fuzz::Fail("send accepted a long address that is not five bytes");
            }
        }
        std::size_t dataBytes = 0;
        for (const std::string& text : options.data) {
            const auto bytes = hart::ParseHex(text);
            if (!bytes) {
                fuzz::Fail("send accepted data that is not hex: " + text);
            }
            dataBytes += bytes->size();
        }
        /* The byte count is one byte, and command 31 takes two of them for the number. */
        if (dataBytes > hart::kMaxDataBytes - (options.hartCommand > 0xFF ? 2 : 0)) {
            fuzz::Fail("send accepted " + std::to_string(dataBytes) + " data bytes, more than a frame can carry");
        }
    } else if (options.command == "poll") {
        const bool vars = options.pollWhat == "vars";
        if (options.every < std::chrono::milliseconds(100) || options.every > std::chrono::hours(24) ||
            options.duration < 0 || options.count < 0 || (vars && options.variableCodes.empty()) ||
            (!vars && !options.variableCodes.empty()) || options.variableCodes.size() > 8) {
            fuzz::Fail("poll accepted an interval, limit or device variable list out of range");
        }
    } else if (options.command == "burst") {
        if ((options.burstCommand && (*options.burstCommand < 0 || *options.burstCommand > 0xFFFF)) ||
            (options.burstPeriod && (*options.burstPeriod < std::chrono::milliseconds(100) ||
                                     *options.burstPeriod > std::chrono::hours(1))) ||
            options.burstMessage < 0 || options.burstMessage > 255 || options.variableCodes.size() > 8) {
            fuzz::Fail("burst accepted a command, period, message or device variable list out of range");
        }
    } else if (options.command != "ports" && options.command != "identify" && options.command != "monitor" &&
               options.command != "config") {
        fuzz::Fail("parsed an unknown command '" + options.command + "'");
    }
}

void HexText(fuzz::FuzzInput& input)
{
    const Bytes raw = input.Rest();
    const std::string text(raw.begin(), raw.end());
    const auto bytes = hart::ParseHex(text);
    if (!bytes) {
        return;
    }
    const auto again = hart::ParseHex(hart::Hex(*bytes));
    if (!again || *again != *bytes) {
        fuzz::Fail("hex bytes do not survive printing and parsing again");
    }
}

void RequestRoundTrip(fuzz::FuzzInput& input)
{
    hart::Request request;
    request.address.isLong = input.Bool();
    request.address.polling = static_cast<std::uint8_t>(input.Range(0, 63));
    for (auto& b : request.address.id) {
        b = input.Byte();
    }
    request.address.id[0] &= 0x3F;
    request.command = input.Byte();
    request.primaryMaster = input.Bool();
    request.preambles = static_cast<int>(input.Range(0, 20));
    request.data = input.Chunk(255);
    const Bytes frame = hart::BuildRequest(request);
    const auto parsed = hart::ParseFrame(frame);
    if (!parsed || !parsed->checkByteOk || parsed->Kind() != hart::FrameKind::Stx ||
        parsed->command != request.command || parsed->data != request.data ||
        parsed->FromPrimaryMaster() != request.primaryMaster || parsed->IsLong() != request.address.isLong) {
        fuzz::Fail("a request hartctl builds does not parse back to itself");
    }
    const Bytes address = request.address.isLong ? Bytes(request.address.id.begin(), request.address.id.end())
                                                 : Bytes{request.address.polling};
    Bytes got = parsed->address;
    got[0] &= 0x3F;
    if (got != address) {
        fuzz::Fail("a request's address does not parse back to itself");
    }
}

void AnswerFrame(fuzz::FuzzInput& input)
{
    const Bytes raw = input.Rest();
    std::string why;
    const auto frame = hart::ParseFrame(raw, &why);
    if (!frame) {
        if (why.empty()) {
            fuzz::Fail("a frame refused without a reason");
        }
        return;
    }
    /* Put back together, the frame is the bytes it was read from, preambles aside. */
    std::size_t at = 0;
    while (raw[at] == 0xFF) {
        at++;
    }
    Bytes rebuilt{frame->delimiter};
    rebuilt.insert(rebuilt.end(), frame->address.begin(), frame->address.end());
    rebuilt.insert(rebuilt.end(), frame->expansion.begin(), frame->expansion.end());
    rebuilt.push_back(frame->command);
    rebuilt.push_back(static_cast<std::uint8_t>(frame->data.size()));
    rebuilt.insert(rebuilt.end(), frame->data.begin(), frame->data.end());
    if (raw.size() < at + rebuilt.size() + 1 || !std::equal(rebuilt.begin(), rebuilt.end(), raw.begin() + static_cast<long>(at))) {
        fuzz::Fail("a parsed frame is not the bytes it came from");
    }
    (void)frame->AddressText();
    (void)hart::KindName(frame->Kind());
    if (frame->data.size() >= 2) {
        (void)hart::DecodeResponse(frame->command, frame->data[0]);
        (void)hart::BitNames(hart::DeviceStatusBits(), frame->data[1]);
        (void)hart::DecodeFields(frame->command, frame->Payload());
    }
    hart::Frame unwrapped = *frame;
    hart::Unwrap(unwrapped);
    (void)hart::DecodeFields(unwrapped.command, unwrapped.Payload());
    (void)hart::UnpackAscii(frame->data);
    (void)hart::UnitName(static_cast<std::uint8_t>(frame->command));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    switch (input.Byte() % 4) {
    case 0: CommandLine(input); break;
    case 1: HexText(input); break;
    case 2: RequestRoundTrip(input); break;
    default: AnswerFrame(input); break;
    }
    return 0;
}

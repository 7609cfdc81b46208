/*
 * What the commands that talk to a field device share: the port set up for
 * transactions, one transaction carried to its answer (asked again while the
 * device is busy), and the device the user named found on the line.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "Options.h"
#include "Session.h"
#include "app/Addressing.h"
#include "app/Frame.h"
#include "app/Transaction.h"
#include "port/HartIoctl.h"

namespace hartctl {

inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
/* The device answered, but with an error response code. */
inline constexpr int kRefused = 3;
/* Room for the longest frame a client can read. */
inline constexpr std::size_t kFrameBuffer = 300;

std::optional<Failure> Control(platform::File& port, ULONG code, const hart::Bytes& input, std::size_t outputLength,
                               hart::Bytes* output, const char* what);
std::optional<Failure> GetProtocol(platform::File& port, HART_PROTOCOL_SETTINGS& settings);
std::optional<Failure> SetProtocol(platform::File& port, const HART_PROTOCOL_SETTINGS& settings);
std::optional<Failure> SetReadMask(platform::File& port, std::uint8_t mask);

/* A port opened for transactions: the handle, its COM name and the protocol settings it runs with. */
struct TransactionPort {
    platform::File file;
    std::string comName;
    HART_PROTOCOL_SETTINGS settings{};
};

/* Opens the port and applies what every transaction command shares: master type, retries, answers only.
   nullopt, with the failure shown to the user, when the port cannot be used. */
std::optional<TransactionPort> OpenForTransactions(Session& session, const Options& options, int defaultRetries,
                                                   std::ostream& out, std::ostream& err);

/* The repeats after busy and delayed-response answers the user allows. */
hart::RepeatLimits RepeatLimitsFor(const Options& options);

/*
 * One request and its answer, asked again while the device is busy. The
 * failure is set when no answer could be shown: the port's, or a damaged
 * answer, or only frames that were not the answer. A device that answered,
 * busy to the end or not, is no failure here; its response code tells.
 */
hart::TransactionResult Transact(Session& session, platform::File& port, const hart::Request& request,
                                 int driverAttempts, const hart::RepeatLimits& limits,
                                 std::optional<Failure>& failure);

/* The same over any transport. transportFailure is the transport's own account of why it could not send or
   read, looked at once the transaction has ended; it keeps the status that the user is shown. */
hart::TransactionResult Transact(hart::Transport transport, const std::optional<Failure>& transportFailure,
                                 const hart::Request& request, const hart::RepeatLimits& limits,
                                 std::optional<Failure>& failure);

/* One request carried to its answer as Transact does, over whatever reaches the devices. */
using TransactFn = std::function<hart::TransactionResult(const hart::Request&, std::optional<Failure>&)>;

/* The device answered the command with response code 0. */
bool Succeeded(const hart::TransactionResult& result);

/* The device the addressing options name. */
hart::Target TargetFor(const Options& options);

/* What came of asking the device one command. */
struct Reply {
    /* Unset when the device could not be found to ask it. */
    std::optional<hart::TransactionResult> exchange;
    /* No answer to show: the port's failure, or the device not found. */
    std::optional<Failure> failure;

    /* The answer, carried out (success or a warning). */
    bool CarriedOut() const;
    /* Why the answer is not there or not carried out; empty when it is. */
    std::string Why() const;
};

/*
 * The device the user named, reached through an open port. It learns the
 * long address once, with the first command, and keeps it: a poll that
 * reads every second identifies the device once, not every time.
 */
class DeviceLink {
public:
    DeviceLink(Session& session, platform::File& port, const Options& options, int driverAttempts);
    DeviceLink(TransactFn transact, const Options& options);
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    /* Commands above 255 go inside command 31. */
    Reply Ask(std::uint16_t command, const hart::Bytes& data, int preambles = 5);
    /* Finds the device, unless it was found already: its identity, when the way it was named told it (a long
       address does not); failure set when it could not be found. */
    std::optional<hart::Identity> Find(std::optional<Failure>& failure);
    const hart::Target& Target() const { return target_; }
    /* What command 0, 11 or 21 told of the device, once it was found. */
    std::optional<hart::Identity> Identity() const { return directory_.Known(target_); }

private:
    void ForgetIfGone(const hart::Address& address, const hart::TransactionResult& exchange);

    TransactFn transact_;
    bool primary_;
    hart::Target target_;
    std::optional<Failure> lookupFailure_;
    hart::Directory directory_;
};

/* Set by RequestStop: a command that runs until interrupted ends at its next look. */
bool StopRequested();

/* A frame read off the port as it came, with the frame in it when it parses
   (a command 31 answer unwrapped). */
struct HeardFrame {
    std::string time;
    hart::Bytes bytes;
    bool checkByteOk = true;
    std::optional<hart::Frame> frame;
};

/*
 * Reads frames off the port and hands each to shown until the user stops,
 * or options' duration or count is reached. kFailed, with the failure
 * printed, when the port stops giving frames; 0 otherwise.
 */
int WatchFrames(Session& session, platform::File& port, const Options& options,
                const std::function<void(const HeardFrame&)>& shown, std::ostream& out, std::ostream& err);

} // namespace hartctl

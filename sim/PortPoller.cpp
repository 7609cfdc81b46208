#include "sim/PortPoller.h"

namespace sim {

namespace {
Bytes Request(bool primary, std::uint8_t pollingAddress, std::uint8_t command)
{
    HartFrame frame;
    frame.delimiter = kDelimiterStx;
    frame.address = {static_cast<std::uint8_t>((primary ? kMasterBit : 0) | pollingAddress)};
    frame.command = command;
    return OnLine(frame, 5);
}
} // namespace

std::vector<Poller::Target> Targets(int devices, std::initializer_list<std::uint8_t> commands)
{
    std::vector<Poller::Target> targets;
    for (std::uint8_t command : commands) {
        for (int device = 0; device < devices; device++) {
            targets.push_back({static_cast<std::uint8_t>(device), command});
        }
    }
    return targets;
}

Poller::Poller(std::string name, platform::File port, bool primary, std::vector<Target> targets)
    : name_(std::move(name)), port_(std::move(port)), primary_(primary), targets_(std::move(targets))
{
}

void Poller::TakeRead()
{
    if (read_.Valid() && read_.Done()) {
        if (read_.Completions() != 1) {
            badCompletions_++;
        }
        answers_.push_back(read_.Result());
        read_ = {};
    }
}

void Poller::Step()
{
    TakeRead();
    if (write_.Valid() && write_.Done()) {
        if (write_.Completions() != 1) {
            badCompletions_++;
        }
        const platform::IoResult result = write_.Result();
        write_ = {};
        history_[current_.pollingAddress].push_back(result.status);
        if (result.status == STATUS_SUCCESS) {
            succeeded_++;
            /* The answer is delivered before the write is confirmed. */
            if (answers_.empty()) {
                mismatches_++;
            } else {
                const platform::IoResult& answer = answers_.back();
                if (answer.status == STATUS_CRC_ERROR) {
                    crcErrors_++;
                } else if (answer.status != STATUS_SUCCESS || answer.data.size() < 4 ||
                           answer.data[0] != kDelimiterAck ||
                           (answer.data[1] & 0xBF) != ((primary_ ? 0x80 : 0) | current_.pollingAddress) ||
                           answer.data[2] != current_.command) {
                    mismatches_++;
                }
            }
        } else if (result.status == STATUS_TRANSACTION_TIMED_OUT) {
            timedOut_++;
        } else {
            otherFailures_++;
        }
        answers_.clear();
    }
    if (!read_.Valid()) {
        read_ = port_.ReadAsync(300);
    }
    if (!write_.Valid() && !stopped_ && !targets_.empty()) {
        current_ = targets_[next_];
        next_ = (next_ + 1) % targets_.size();
        writes_++;
        write_ = port_.WriteAsync(Request(primary_, current_.pollingAddress, current_.command));
    }
}

void Poller::Close()
{
    port_.Close();
    if (read_.Valid()) {
        read_.Wait();
        TakeRead();
    }
}

void RunPollers(platform::Host& host, const std::vector<Poller*>& pollers, platform::Ticks duration)
{
    const platform::Ticks end = host.Now() + duration;
    for (Poller* poller : pollers) {
        poller->Step();
    }
    while (host.Now() < end) {
        const bool progressed = host.GetDispatcher().RunUntil(
            [&] {
                for (Poller* poller : pollers) {
                    if (poller->WriteDone() || poller->ReadDone()) {
                        return true;
                    }
                }
                return false;
            },
            end - host.Now());
        if (!progressed) {
            host.RunUntil(end);
        }
        for (Poller* poller : pollers) {
            poller->Step();
        }
    }
}

} // namespace sim

#include "PtyLine.h"

#include <cerrno>
#include <cstdlib>
#include <future>
#include <system_error>

#include <fcntl.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

namespace tools {

namespace {

[[noreturn]] void Fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

PtyLine::PtyLine(int fieldDevices, platform::Dispatcher* shared, std::uint8_t universalRevision)
    : ownDispatcher_(shared == nullptr ? std::make_unique<platform::Dispatcher>(platform::Clock::Real) : nullptr),
      dispatcher_(shared != nullptr ? *shared : *ownDispatcher_)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        Fail("posix_openpt");
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof(name)) != 0) {
        int error = errno;
        close(master_);
        errno = error;
        Fail("pseudo-terminal");
    }
    path_ = name;
    keepOpen_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keepOpen_ < 0) {
        int error = errno;
        close(master_);
        errno = error;
        Fail(name);
    }
    /* No echo and no line editing before the port's driver sets the terminal up itself. */
    termios settings{};
    if (tcgetattr(keepOpen_, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(keepOpen_, TCSANOW, &settings);
    }

    line_ = std::make_unique<sim::HartLine>(dispatcher_);
    bridge_ = line_->Attach("pty", [this](const sim::LineCharacter& character) {
        if (master_ >= 0) {
            [[maybe_unused]] ssize_t written = write(master_, &character.byte, 1);
        }
        if (toTerminal_) {
            toTerminal_(character.byte);
        }
    });
    for (int i = 0; i < fieldDevices; i++) {
        sim::FieldDeviceConfig config = sim::DemoDeviceConfig(i, universalRevision);
        devices_.push_back(std::make_unique<sim::FieldDevice>(*line_, config));
    }
    dispatcher_.WatchFd(master_, EPOLLIN, [this](std::uint32_t) { FromTerminal(); });
    if (ownDispatcher_ != nullptr) {
        thread_ = std::thread([this] { dispatcher_.RunUntil([this] { return stop_.load(); }, platform::Ticks::max()); });
    }
}

PtyLine::~PtyLine()
{
    HangUp();
    if (thread_.joinable()) {
        dispatcher_.Post([this] { stop_ = true; });
        thread_.join();
    }
    devices_.clear();
    line_.reset();
}

void PtyLine::Call(const std::function<void()>& task)
{
    /* On a shared dispatcher the caller is the loop's thread. */
    if (!thread_.joinable()) {
        task();
        return;
    }
    std::promise<void> done;
    dispatcher_.Post([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

std::size_t PtyLine::RequestsHeard(int index)
{
    std::size_t heard = 0;
    Call([&] { heard = Device(index).RequestsHeard(); });
    return heard;
}

termios PtyLine::Settings()
{
    termios settings{};
    Call([&] {
        if (keepOpen_ >= 0) {
            tcgetattr(keepOpen_, &settings);
        }
    });
    return settings;
}

void PtyLine::HangUp()
{
    Call([this] {
        if (master_ < 0) {
            return;
        }
        dispatcher_.UnwatchFd(master_);
        close(master_);
        master_ = -1;
        close(keepOpen_);
        keepOpen_ = -1;
    });
}

void PtyLine::WatchToTerminal(std::function<void(std::uint8_t)> watcher)
{
    Call([&] { toTerminal_ = std::move(watcher); });
}

void PtyLine::FromTerminal()
{
    std::uint8_t buffer[512];
    for (;;) {
        ssize_t count = read(master_, buffer, sizeof(buffer));
        if (count > 0) {
            line_->Transmit(bridge_, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(count)));
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return;
    }
}

} // namespace tools

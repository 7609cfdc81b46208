/*
 * The client side of the host: what tests, hartctl and other programs use to
 * talk to the driver's devices, as a program talks to a driver through the
 * I/O manager.
 *
 * Every call may come from any thread. Requests reach the dispatcher through
 * its thread-safe inbox; a synchronous call then blocks until the request
 * has completed. Called on the dispatcher's own thread (a test that owns
 * the host), a synchronous call runs the dispatcher until it is done.
 *
 * On the virtual clock, a thread that registers as a client thread
 * (IoManager::ClientThread) holds the clock while it runs: time moves on only
 * while every registered thread is blocked in the I/O manager (a synchronous
 * call, PendingIo::Wait, ClientEvent::Wait, Sleep). A client program then
 * sees the same virtual times on every run.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <ntddk.h>

#include <platform/Dispatcher.h>

namespace platform {

class HostCore;

namespace detail {
struct IoShared;
struct IoOperation;
struct FileState;
struct ClientEventState;
} // namespace detail

struct IoStatus {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool Succeeded() const { return status != STATUS_PENDING && NT_SUCCESS(status); }
};

/* A completed request: its status, and for reads and control requests the
   bytes the driver returned (the first `information` bytes of the buffer). */
struct IoResult : IoStatus {
    std::vector<std::uint8_t> data;
};

/* One asynchronous request. Copies share the request. */
class PendingIo {
public:
    PendingIo() = default;
    bool Valid() const { return op_ != nullptr; }
    bool Done() const;
    /* Blocks until the request has completed. */
    IoResult Wait();
    /* Asks for the request to end; false when it has completed already. */
    bool Cancel();
    /* What it completed with; STATUS_PENDING until then. */
    IoResult Result() const;
    /* Completions seen; anything but 0 or 1 is a host bug. */
    unsigned Completions() const;

private:
    friend class File;
    friend class IoManager;
    explicit PendingIo(std::shared_ptr<detail::IoOperation> op) : op_(std::move(op)) {}
    std::shared_ptr<detail::IoOperation> op_;
};

/* An open handle. Closing it (or destroying it) runs the device's cleanup at
   once and its close when the last of the handle's requests has completed;
   requests still waiting in the device's queues are cancelled. */
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const;

    IoResult Read(std::size_t length);
    IoStatus Write(std::span<const std::uint8_t> data);
    IoResult DeviceControl(ULONG ioControlCode, std::span<const std::uint8_t> input, std::size_t outputLength);

    PendingIo ReadAsync(std::size_t length);
    PendingIo WriteAsync(std::span<const std::uint8_t> data);
    PendingIo DeviceControlAsync(ULONG ioControlCode, std::span<const std::uint8_t> input, std::size_t outputLength);

    /* STATUS_INVALID_HANDLE when it was not open. */
    NTSTATUS Close();

private:
    friend class IoManager;
    explicit File(std::shared_ptr<detail::FileState> state) : state_(std::move(state)) {}
    PendingIo Submit(int type, ULONG ioControlCode, std::span<const std::uint8_t> input, std::size_t outputLength);
    std::shared_ptr<detail::FileState> state_;
};

/* A manual-reset event of the client's, not signalled at first. Its handle
   is a 32-bit value the client can pass to the driver in a buffer; the
   driver references it with ObReferenceObjectByHandle and signals it with
   KeSetEvent. */
class ClientEvent {
public:
    ClientEvent() = default;
    ~ClientEvent();
    ClientEvent(ClientEvent&& other) noexcept;
    ClientEvent& operator=(ClientEvent&& other) noexcept;
    ClientEvent(const ClientEvent&) = delete;
    ClientEvent& operator=(const ClientEvent&) = delete;

    std::uint32_t Handle() const;
    bool IsSignaled() const;
    void Reset();
    /* Blocks until signalled. */
    void Wait();
    /* False when the time ran out first. */
    bool WaitFor(Ticks timeout);
    /* Closes the handle; a reference the driver holds stays valid. */
    void Close();

private:
    friend class IoManager;
    explicit ClientEvent(std::shared_ptr<detail::ClientEventState> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::ClientEventState> state_;
};

class IoManager {
public:
    explicit IoManager(HostCore& core);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    struct OpenResult {
        NTSTATUS status = STATUS_PENDING;
        File file;
    };

    /* By device name ("\Device\X"), symbolic link ("\DosDevices\X", "\??\X",
       "\\.\X") or interface instance name (from InterfaceInstances). */
    OpenResult Open(std::u16string_view path);
    /* The index-th enabled instance of a device interface class. */
    OpenResult OpenInterface(const GUID& interfaceClass, std::size_t index = 0);
    std::vector<std::u16string> InterfaceInstances(const GUID& interfaceClass);

    ClientEvent CreateEvent();

    /* Lets time pass for this thread (virtual time on the virtual clock). */
    void Sleep(Ticks duration);

    /* Starts body on a new client thread that holds the clock from this very
       moment, so the dispatcher cannot move on before the thread has begun. */
    std::thread StartClientThread(std::function<void()> body);

    /* Registers the calling thread as a client thread for its lifetime. */
    class ClientThread {
    public:
        explicit ClientThread(IoManager& io);
        ~ClientThread();
        ClientThread(const ClientThread&) = delete;
        ClientThread& operator=(const ClientThread&) = delete;

    private:
        std::shared_ptr<detail::IoShared> shared_;
        bool registered_ = false;
    };

    /* Host side: the host is going away; blocked clients wake with STATUS_CANCELLED. */
    void Shutdown();
    const std::shared_ptr<detail::IoShared>& Shared() const { return shared_; }

private:
    std::shared_ptr<detail::IoShared> shared_;
};

} // namespace platform

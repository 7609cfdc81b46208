/*
 * The client side of the I/O manager and its server on the dispatcher.
 * Client calls post to the dispatcher's inbox and wait on IoShared; the
 * dispatcher publishes results under IoShared's mutex and hands the virtual
 * clock back to a registered client thread in the same step, so time cannot
 * move between a completion and the client's next request.
 */
#include <platform/IoManager.h>

#include <algorithm>

#include "Device.h"
#include "HostCore.h"
#include "IoCore.h"
#include "Request.h"

namespace platform {

namespace {

thread_local detail::IoShared* registeredWith = nullptr;
thread_local bool holdingClock = false;

bool PostTo(const std::shared_ptr<detail::IoShared>& shared, std::function<void()> task)
{
    std::lock_guard lock(shared->mutex);
    if (shared->core == nullptr) {
        return false;
    }
    shared->core->dispatcher.Post(std::move(task));
    return true;
}

void Publish(const std::shared_ptr<detail::IoOperation>& op, NTSTATUS status, ULONG_PTR information = 0,
             const std::vector<std::uint8_t>* output = nullptr)
{
    op->shared->Publish([&] {
        ++op->completions;
        op->done = true;
        op->result.status = status;
        op->result.information = information;
        if (output != nullptr) {
            op->result.data.assign(output->begin(),
                                   output->begin() + std::min(output->size(), std::size_t{information}));
        }
    });
}

IoResult Collect(const std::shared_ptr<detail::IoOperation>& op)
{
    std::lock_guard lock(op->shared->mutex);
    if (!op->done) {
        IoResult gone;
        gone.status = op->shared->core == nullptr ? STATUS_CANCELLED : STATUS_PENDING;
        return gone;
    }
    return op->result;
}

/* ---- Served on the dispatcher ---- */

void ServeOpen(const std::shared_ptr<detail::FileState>& state, const std::shared_ptr<detail::IoOperation>& op,
               const std::u16string& name)
{
    HostCore& core = *state->shared->core;
    Namespace::Target target;
    NTSTATUS status = core.io->names.Resolve(name, target);
    if (NT_SUCCESS(status) && target.device == nullptr) {
        /* Lower devices belong to the driver's I/O targets, not to clients. */
        status = STATUS_ACCESS_DENIED;
    }
    if (NT_SUCCESS(status)) {
        status = target.device->OpenFile(state, [op](NTSTATUS result) { Publish(op, result); });
    }
    if (status != STATUS_PENDING) {
        Publish(op, status);
    }
}

void ServeRequest(const std::shared_ptr<detail::FileState>& state, const std::shared_ptr<detail::IoOperation>& op,
                  WDF_REQUEST_TYPE type, ULONG ioControlCode, const std::vector<std::uint8_t>& input,
                  std::size_t outputLength)
{
    HostCore& core = *state->shared->core;
    FileObject* file = state->file;
    if (file == nullptr || core.objects.Find(file, state->fileSerial) == nullptr) {
        Publish(op, STATUS_DELETE_PENDING);
        return;
    }
    if (file->GetState() != FileObject::State::Open) {
        Publish(op, STATUS_INVALID_HANDLE);
        return;
    }
    auto client = RequestObject::NewClient(type, ioControlCode, input, outputLength);
    const bool returnsData = type != WdfRequestTypeWrite;
    /* Weak: the operation holds the request, and nobody may be waiting any more. */
    client->OnCompleted([weak = std::weak_ptr<detail::IoOperation>(op), returnsData](const ClientRequest& completed) {
        if (auto waiting = weak.lock()) {
            Publish(waiting, completed.Status(), completed.Information(), returnsData ? &completed.Output() : nullptr);
        }
    });
    op->request = client;
    RequestObject* request = RequestObject::CreateForDevice(core, client, file->Device(), file);
    if (request == nullptr) {
        Publish(op, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    if (op->cancelAsked) {
        request->RequestCancel();
    }
    file->Device().Dispatch(request);
}

void ServeClose(const std::shared_ptr<detail::FileState>& state)
{
    HostCore& core = *state->shared->core;
    FileObject* file = state->file;
    if (file == nullptr || core.objects.Find(file, state->fileSerial) == nullptr) {
        state->Publish([](detail::FileState& closed) { closed.cleanedUp = true; });
        return;
    }
    file->Cleanup();
}

/* Waits for a timer of the dispatcher's clock, from any thread. */
bool AwaitOrExpire(const std::shared_ptr<detail::IoShared>& shared, Ticks timeout, const std::function<bool()>& ready)
{
    auto expired = std::make_shared<bool>(false);
    const bool posted = PostTo(shared, [shared, expired, timeout] {
        HostCore* core = shared->core;
        core->dispatcher.Schedule(core->dispatcher.Now() + timeout,
                                  [shared, expired] { shared->Publish([&] { *expired = true; }); });
    });
    if (!posted) {
        return ready();
    }
    bool result = false;
    shared->Await([&] {
        result = ready();
        return result || *expired;
    });
    return result;
}

} // namespace

/* ---- IoShared ---- */

std::vector<std::shared_ptr<detail::IoShared::Waiter>> detail::IoShared::ResumeLocked()
{
    /* The host has gone: every waiter goes on, and none is handed a clock. */
    if (core == nullptr) {
        return waiters;
    }
    std::vector<std::shared_ptr<Waiter>> woken;
    for (const std::shared_ptr<Waiter>& waiter : waiters) {
        if (!waiter->resumed && waiter->ready()) {
            waiter->resumed = true;
            /* The waiter runs on from here: the clock is its again before anything else can move it. */
            if (waiter->holdsClock) {
                core->dispatcher.HoldClock();
            }
            woken.push_back(waiter);
        }
    }
    return woken;
}

void detail::IoShared::ShutDown()
{
    Publish([this] { core = nullptr; });
}

void detail::IoShared::Await(const std::function<bool()>& ready)
{
    std::unique_lock lock(mutex);
    if (core == nullptr || ready()) {
        return;
    }
    HostCore* host = core;
    if (host->dispatcher.OnLoopThread()) {
        lock.unlock();
        host->dispatcher.RunUntil(
            [&] {
                std::lock_guard relock(mutex);
                return core == nullptr || ready();
            },
            host->options.nestedWaitLimit);
        return;
    }
    auto waiter = std::make_shared<Waiter>(ready);
    waiter->holdsClock = registeredWith == this && holdingClock;
    waiters.push_back(waiter);
    if (waiter->holdsClock) {
        holdingClock = false;
        host->dispatcher.ReleaseClock();
    }
    waiter->wake.wait(lock, [&] { return waiter->resumed || core == nullptr; });
    waiters.erase(std::remove(waiters.begin(), waiters.end(), waiter), waiters.end());
    if (waiter->holdsClock) {
        holdingClock = waiter->resumed;
    }
}

/* ---- PendingIo ---- */

bool PendingIo::Done() const
{
    if (op_ == nullptr) {
        return true;
    }
    return op_->done.load(std::memory_order_acquire);
}

IoResult PendingIo::Wait()
{
    if (op_ == nullptr) {
        IoResult invalid;
        invalid.status = STATUS_INVALID_HANDLE;
        return invalid;
    }
    auto op = op_;
    op->shared->Await([op] { return op->done.load(); });
    return Collect(op);
}

IoResult PendingIo::Result() const
{
    if (op_ == nullptr) {
        IoResult invalid;
        invalid.status = STATUS_INVALID_HANDLE;
        return invalid;
    }
    return Collect(op_);
}

unsigned PendingIo::Completions() const
{
    if (op_ == nullptr) {
        return 0;
    }
    std::lock_guard lock(op_->shared->mutex);
    return op_->completions;
}

bool PendingIo::Cancel()
{
    if (op_ == nullptr) {
        return false;
    }
    {
        std::lock_guard lock(op_->shared->mutex);
        if (op_->done) {
            return false;
        }
    }
    auto op = op_;
    return PostTo(op->shared, [op] {
        op->cancelAsked = true;
        if (op->request == nullptr) {
            return; /* not there yet: it is cancelled on arrival */
        }
        HostCore& core = *op->shared->core;
        if (WDFREQUEST handle = op->request->Handle()) {
            Object* object = core.objects.Find(handle);
            if (object != nullptr && object->Type() == ObjectType::Request) {
                static_cast<RequestObject*>(object)->RequestCancel();
            }
        }
    });
}

/* ---- File ---- */

File::~File()
{
    Close();
}

File::File(File&& other) noexcept : state_(std::move(other.state_))
{
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        Close();
        state_ = std::move(other.state_);
    }
    return *this;
}

bool File::IsOpen() const
{
    return state_ != nullptr && state_->open && !state_->handleClosed;
}

PendingIo File::Submit(int type, ULONG ioControlCode, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    if (state_ == nullptr) {
        auto op = std::make_shared<detail::IoOperation>(std::make_shared<detail::IoShared>());
        op->done = true;
        op->result.status = STATUS_INVALID_HANDLE;
        return PendingIo(op);
    }
    auto op = std::make_shared<detail::IoOperation>(state_->shared);
    if (!IsOpen()) {
        op->done = true;
        op->result.status = STATUS_INVALID_HANDLE;
        return PendingIo(op);
    }
    auto state = state_;
    std::vector<std::uint8_t> data(input.begin(), input.end());
    const auto requestType = static_cast<WDF_REQUEST_TYPE>(type);
    if (!PostTo(state->shared, [state, op, requestType, ioControlCode, data = std::move(data), outputLength] {
            ServeRequest(state, op, requestType, ioControlCode, data, outputLength);
        })) {
        std::lock_guard lock(op->shared->mutex);
        op->done = true;
        op->result.status = STATUS_CANCELLED;
    }
    return PendingIo(op);
}

PendingIo File::ReadAsync(std::size_t length)
{
    return Submit(WdfRequestTypeRead, 0, {}, length);
}

PendingIo File::WriteAsync(std::span<const std::uint8_t> data)
{
    return Submit(WdfRequestTypeWrite, 0, data, 0);
}

PendingIo File::DeviceControlAsync(ULONG ioControlCode, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    return Submit(WdfRequestTypeDeviceControl, ioControlCode, input, outputLength);
}

IoResult File::Read(std::size_t length)
{
    return ReadAsync(length).Wait();
}

IoStatus File::Write(std::span<const std::uint8_t> data)
{
    return WriteAsync(data).Wait();
}

IoResult File::DeviceControl(ULONG ioControlCode, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    return DeviceControlAsync(ioControlCode, input, outputLength).Wait();
}

NTSTATUS File::Close()
{
    if (!IsOpen()) {
        return STATUS_INVALID_HANDLE;
    }
    state_->handleClosed = true;
    auto state = state_;
    if (PostTo(state->shared, [state] { ServeClose(state); })) {
        state->shared->Await([state] { return state->cleanedUp; });
    }
    return STATUS_SUCCESS;
}

/* ---- ClientEvent ---- */

ClientEvent::~ClientEvent()
{
    Close();
}

ClientEvent::ClientEvent(ClientEvent&& other) noexcept : state_(std::move(other.state_))
{
}

ClientEvent& ClientEvent::operator=(ClientEvent&& other) noexcept
{
    if (this != &other) {
        Close();
        state_ = std::move(other.state_);
    }
    return *this;
}

std::uint32_t ClientEvent::Handle() const
{
    return state_ != nullptr ? state_->handle : 0;
}

bool ClientEvent::IsSignaled() const
{
    return state_ != nullptr && __atomic_load_n(&state_->event.Header.SignalState, __ATOMIC_SEQ_CST) != 0;
}

void ClientEvent::Reset()
{
    if (state_ != nullptr) {
        __atomic_store_n(&state_->event.Header.SignalState, 0, __ATOMIC_SEQ_CST);
    }
}

void ClientEvent::Wait()
{
    if (state_ != nullptr) {
        state_->shared->Await([this] { return IsSignaled(); });
    }
}

bool ClientEvent::WaitFor(Ticks timeout)
{
    if (state_ == nullptr) {
        return false;
    }
    return AwaitOrExpire(state_->shared, timeout, [this] { return IsSignaled(); });
}

void ClientEvent::Close()
{
    if (state_ == nullptr) {
        return;
    }
    /* A reference the driver took stays good: the table of references keeps the event. */
    std::shared_ptr<detail::ClientEventState> state = std::move(state_);
    std::lock_guard lock(state->shared->mutex);
    state->shared->handles.erase(state->handle);
}

/* ---- IoManager ---- */

IoManager::IoManager(HostCore& core) : shared_(std::make_shared<detail::IoShared>())
{
    shared_->core = &core;
}

IoManager::~IoManager()
{
    Shutdown();
}

void IoManager::Shutdown()
{
    shared_->ShutDown();
}

IoManager::OpenResult IoManager::Open(std::u16string_view path)
{
    auto state = std::make_shared<detail::FileState>(shared_);
    auto op = std::make_shared<detail::IoOperation>(shared_);
    std::u16string name(path);
    OpenResult result;
    if (!PostTo(shared_, [state, op, name] { ServeOpen(state, op, name); })) {
        result.status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    shared_->Await([op] { return op->done.load(); });
    result.status = Collect(op).status;
    if (NT_SUCCESS(result.status) && result.status != STATUS_PENDING) {
        state->open = true;
        result.file = File(state);
    }
    return result;
}

std::vector<std::u16string> IoManager::InterfaceInstances(const GUID& interfaceClass)
{
    auto links = std::make_shared<std::vector<std::u16string>>();
    auto done = std::make_shared<bool>(false);
    auto shared = shared_;
    if (!PostTo(shared_, [shared, links, done, interfaceClass] {
            std::vector<std::u16string> found;
            for (DeviceObject* device : shared->core->devices) {
                for (std::u16string& link : device->InterfaceLinks(interfaceClass)) {
                    found.push_back(std::move(link));
                }
            }
            shared->Publish([&] {
                *links = std::move(found);
                *done = true;
            });
        })) {
        return {};
    }
    shared_->Await([done] { return *done; });
    std::lock_guard lock(shared_->mutex);
    return *links;
}

IoManager::OpenResult IoManager::OpenInterface(const GUID& interfaceClass, std::size_t index)
{
    std::vector<std::u16string> instances = InterfaceInstances(interfaceClass);
    if (index >= instances.size()) {
        OpenResult result;
        result.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    return Open(instances[index]);
}

ClientEvent IoManager::CreateEvent()
{
    auto state = std::make_shared<detail::ClientEventState>();
    state->shared = shared_;
    state->event.Header.Type = NotificationEvent;
    state->event.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    state->event.Header.WaitListHead.Flink = state.get();
    std::lock_guard lock(shared_->mutex);
    state->handle = shared_->nextHandle;
    shared_->nextHandle += 4;
    shared_->handles.emplace(state->handle, state);
    return ClientEvent(state);
}

void IoManager::Sleep(Ticks duration)
{
    AwaitOrExpire(shared_, duration, [] { return false; });
}

std::thread IoManager::StartClientThread(std::function<void()> body)
{
    auto shared = shared_;
    bool holds = false;
    {
        std::lock_guard lock(shared->mutex);
        if (shared->core != nullptr) {
            shared->core->dispatcher.HoldClock();
            holds = true;
        }
    }
    return std::thread([shared, holds, body = std::move(body)] {
        registeredWith = shared.get();
        holdingClock = holds;
        body();
        std::lock_guard lock(shared->mutex);
        if (holdingClock && shared->core != nullptr) {
            shared->core->dispatcher.ReleaseClock();
        }
        holdingClock = false;
        registeredWith = nullptr;
    });
}

IoManager::ClientThread::ClientThread(IoManager& io) : shared_(io.shared_)
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->core == nullptr || shared_->core->dispatcher.OnLoopThread() || registeredWith != nullptr) {
        return;
    }
    registeredWith = shared_.get();
    holdingClock = true;
    registered_ = true;
    shared_->core->dispatcher.HoldClock();
}

IoManager::ClientThread::~ClientThread()
{
    if (!registered_) {
        return;
    }
    std::lock_guard lock(shared_->mutex);
    if (holdingClock && shared_->core != nullptr) {
        shared_->core->dispatcher.ReleaseClock();
    }
    holdingClock = false;
    registeredWith = nullptr;
}

} // namespace platform

#include "IoCore.h"

#include <algorithm>

#include "Device.h"
#include "HostCore.h"
#include "IoTarget.h"

namespace platform {

namespace {

constexpr std::u16string_view kDosDevices = u"\\DosDevices\\";

char16_t Upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Upper(text[i]) != Upper(prefix[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

std::u16string CanonicalObjectName(std::u16string_view path)
{
    std::u16string name;
    for (std::u16string_view prefix : {std::u16string_view(u"\\\\.\\"), std::u16string_view(u"\\\\?\\"),
                                       std::u16string_view(u"\\??\\"), std::u16string_view(u"\\GLOBAL??\\")}) {
        if (StartsWith(path, prefix)) {
            name = kDosDevices;
            path.remove_prefix(prefix.size());
            break;
        }
    }
    name += path;
    for (char16_t& c : name) {
        c = Upper(c);
    }
    return name;
}

std::u16string ToU16(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return {};
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

/* ---- Namespace ---- */

bool Namespace::Contains(std::u16string_view name) const
{
    return entries_.count(CanonicalObjectName(name)) != 0;
}

NTSTATUS Namespace::AddDevice(std::u16string_view name, DeviceObject* device)
{
    Entry entry;
    entry.kind = Entry::Kind::Device;
    entry.device = device;
    return entries_.emplace(CanonicalObjectName(name), std::move(entry)).second ? STATUS_SUCCESS
                                                                               : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS Namespace::AddLower(std::u16string_view name, std::shared_ptr<LowerDeviceEntry> lower)
{
    Entry entry;
    entry.kind = Entry::Kind::Lower;
    entry.lower = std::move(lower);
    return entries_.emplace(CanonicalObjectName(name), std::move(entry)).second ? STATUS_SUCCESS
                                                                               : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS Namespace::AddLink(std::u16string_view link, std::u16string_view target)
{
    if (link.empty() || target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Entry entry;
    entry.kind = Entry::Kind::Link;
    entry.target = std::u16string(target);
    return entries_.emplace(CanonicalObjectName(link), std::move(entry)).second ? STATUS_SUCCESS
                                                                               : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS Namespace::RemoveLink(std::u16string_view link)
{
    auto it = entries_.find(CanonicalObjectName(link));
    if (it == entries_.end() || it->second.kind != Entry::Kind::Link) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    entries_.erase(it);
    return STATUS_SUCCESS;
}

void Namespace::RemoveDevice(std::u16string_view name, const DeviceObject* device)
{
    auto it = entries_.find(CanonicalObjectName(name));
    if (it != entries_.end() && it->second.kind == Entry::Kind::Device && it->second.device == device) {
        entries_.erase(it);
    }
}

void Namespace::RemoveLower(std::u16string_view name, const LowerDeviceEntry* lower)
{
    auto it = entries_.find(CanonicalObjectName(name));
    if (it != entries_.end() && it->second.kind == Entry::Kind::Lower && it->second.lower.get() == lower) {
        entries_.erase(it);
    }
}

NTSTATUS Namespace::Resolve(std::u16string_view path, Target& target) const
{
    std::u16string name = CanonicalObjectName(path);
    /* Links may point at links, but not for ever. */
    for (int hops = 0; hops < 16; ++hops) {
        auto it = entries_.find(name);
        if (it == entries_.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        switch (it->second.kind) {
        case Entry::Kind::Device:
            target.device = it->second.device;
            return STATUS_SUCCESS;
        case Entry::Kind::Lower:
            target.lower = it->second.lower;
            return STATUS_SUCCESS;
        case Entry::Kind::Link:
            name = CanonicalObjectName(it->second.target);
            break;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::size_t Namespace::LinkCount() const
{
    return static_cast<std::size_t>(std::count_if(
        entries_.begin(), entries_.end(), [](const auto& entry) { return entry.second.kind == Entry::Kind::Link; }));
}

/* ---- Lower devices ---- */

LowerDeviceEntry::LowerDeviceEntry(HostCore& core, std::shared_ptr<LowerDevice> device, std::u16string name)
    : core_(core), device_(std::move(device)), name_(std::move(name))
{
    wdm_.Type = 3; /* IO_TYPE_DEVICE */
    wdm_.Size = sizeof(DEVICE_OBJECT);
    wdm_.DeviceExtension = this;
    wdm_.DeviceType = FILE_DEVICE_UNKNOWN;
    wdm_.StackSize = 1;
}

LowerDeviceEntry::~LowerDeviceEntry() = default;

LowerDeviceEntry* LowerDeviceEntry::FromWdm(PDEVICE_OBJECT device)
{
    if (device == nullptr) {
        return nullptr;
    }
    for (const auto& entry : CurrentIo().lowerDevices) {
        if (entry->WdmDevice() == device) {
            return entry.get();
        }
    }
    return nullptr;
}

NTSTATUS LowerDeviceEntry::Open(IoTargetObject* opener, const LowerOpenParameters& parameters)
{
    if (removed_) {
        return STATUS_DELETE_PENDING;
    }
    const bool exclusive = parameters.shareAccess == 0;
    for (const OpenRecord& open : opens_) {
        if (open.exclusive || exclusive) {
            return STATUS_SHARING_VIOLATION;
        }
    }
    NTSTATUS status = device_->Open(parameters);
    if (NT_SUCCESS(status)) {
        opens_.push_back(OpenRecord{opener, exclusive});
    }
    return status;
}

void LowerDeviceEntry::Close(IoTargetObject* opener)
{
    auto it = std::find_if(opens_.begin(), opens_.end(), [opener](const OpenRecord& open) { return open.opener == opener; });
    if (it == opens_.end()) {
        return;
    }
    opens_.erase(it);
    device_->Close();
}

void LowerDeviceEntry::Start(const LowerRequestPtr& request)
{
    request->device_ = weak_from_this();
    if (removed_) {
        request->Complete(STATUS_DELETE_PENDING, 0);
        return;
    }
    outstanding_.push_back(request);
    /* The device may complete it inside StartIo, and the sender may then let go of it. */
    auto keep = shared_from_this();
    device_->StartIo(request);
}

void LowerDeviceEntry::Cancel(const LowerRequestPtr& request)
{
    if (request->completed_ || request->cancelRequested_) {
        return;
    }
    request->cancelRequested_ = true;
    auto keep = shared_from_this();
    device_->Cancel(request);
}

void LowerDeviceEntry::Completed(LowerRequest& request)
{
    outstanding_.erase(std::remove_if(outstanding_.begin(), outstanding_.end(),
                                      [&request](const LowerRequestPtr& held) { return held.get() == &request; }),
                       outstanding_.end());
}

void LowerDeviceEntry::ReportRemoved()
{
    if (removed_) {
        return;
    }
    removed_ = true;
    IoCore& io = *core_.io;
    io.names.RemoveLower(name_, this);
    /* The PnP manager tells every opener, later and outside any callback of theirs. */
    for (const OpenRecord& open : opens_) {
        IoTargetObject* target = open.opener;
        const std::uint64_t serial = target->Serial();
        const std::uint64_t generation = target->OpenGeneration();
        HostCore& core = core_;
        core_.dispatcher.Post([&core, target, serial, generation] {
            if (core.objects.Find(target, serial) != nullptr) {
                target->RemoveComplete(generation);
            }
        });
    }
}

void LowerDeviceEntry::Attach()
{
    device_->entry_ = weak_from_this();
}

void LowerDeviceEntry::Detach()
{
    removed_ = true;
    opens_.clear();
    outstanding_.clear();
    if (device_->entry_.lock().get() == this) {
        device_->entry_.reset();
    }
}

void LowerRequest::Complete(NTSTATUS status, ULONG_PTR information)
{
    if (completed_) {
        if (core_ != nullptr) {
            core_->Fault("a lower device completed a request twice");
        }
        return;
    }
    if (status == STATUS_PENDING) {
        if (core_ != nullptr) {
            core_->Fault("a lower device completed a request with STATUS_PENDING");
        }
        return;
    }
    const std::size_t limit = major_ == IoMajor::Write ? input_.size() : output_.size();
    if (major_ != IoMajor::Write && information > limit && NT_SUCCESS(status)) {
        if (core_ != nullptr) {
            core_->Fault("a lower device reports %zu bytes for a %zu-byte buffer",
                         static_cast<std::size_t>(information), limit);
        }
        information = limit;
    }
    completed_ = true;
    if (auto entry = device_.lock()) {
        entry->Completed(*this);
    }
    if (onCompleted_) {
        auto onCompleted = std::move(onCompleted_);
        onCompleted_ = nullptr;
        onCompleted(*this, status, information);
    }
}

LowerDevice::~LowerDevice() = default;

NTSTATUS LowerDevice::Open(const LowerOpenParameters&)
{
    return STATUS_SUCCESS;
}

void LowerDevice::Close()
{
}

void LowerDevice::Cancel(const LowerRequestPtr& request)
{
    request->Complete(STATUS_CANCELLED, 0);
}

void LowerDevice::ReportRemoved()
{
    if (auto entry = entry_.lock()) {
        entry->ReportRemoved();
    }
}

bool LowerDevice::Registered() const
{
    auto entry = entry_.lock();
    return entry != nullptr && !entry->Removed();
}

bool LowerDevice::Removed() const
{
    auto entry = entry_.lock();
    return entry != nullptr && entry->Removed();
}

std::size_t LowerDevice::OpenCount() const
{
    auto entry = entry_.lock();
    return entry != nullptr ? entry->OpenCount() : 0;
}

std::u16string LowerDevice::Name() const
{
    auto entry = entry_.lock();
    return entry != nullptr ? entry->Name() : std::u16string();
}

/* ---- The I/O core ---- */

IoCore::IoCore(HostCore& owner) : core(owner), manager(owner)
{
}

IoCore::~IoCore() = default;

IoCore& CurrentIo()
{
    return *CurrentCore().io;
}

void IoCore::BeforeTeardown()
{
    if (pnpDevice != nullptr) {
        core.host.RemoveDevice();
    }
}

void IoCore::AfterTeardown()
{
    const std::size_t irpsLeft = irps.size();
    irps.clear();
    for (const auto& entry : lowerDevices) {
        entry->Detach();
    }
    lowerDevices.clear();
    names.Clear();
    std::size_t referencesLeft = 0;
    {
        auto& shared = *manager.Shared();
        std::lock_guard lock(shared.mutex);
        for (const auto& [object, held] : shared.references) {
            referencesLeft += static_cast<std::size_t>(held.second);
        }
        shared.references.clear();
    }
    manager.Shutdown();
    if (irpsLeft != 0) {
        core.Fault("%zu IRP(s) built and never completed", irpsLeft);
    }
    if (referencesLeft != 0) {
        core.Fault("%zu object reference(s) taken with ObReferenceObjectByHandle never released", referencesLeft);
    }
}

} // namespace platform

using namespace platform;

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (SymbolicLinkName == nullptr || DeviceName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return CurrentIo().names.AddLink(ToU16(SymbolicLinkName), ToU16(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return CurrentIo().names.RemoveLink(ToU16(SymbolicLinkName));
}

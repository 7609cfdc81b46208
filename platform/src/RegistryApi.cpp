/* The kernel's and the framework's registry routines over the host's hive. */
#include <cstddef>

#include "HostCore.h"
#include "Irql.h"
#include "Object.h"
#include "RegistryImpl.h"
#include "Unicode.h"

namespace platform {

namespace {

/* An open WDFKEY. One opened without a parent of its own belongs to the
   driver for as long as the driver lives, so a forgotten WdfRegistryClose
   (say, in a helper called for every value read) would pile up keys until
   unload: that is reported when the driver's deletion reaches the key. */
class KeyObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Key;

    KeyObject(HostCore& core, RegKey& key, ACCESS_MASK access, bool defaultParent)
        : Object(core, kType), key_(key), access_(access), defaultParent_(defaultParent)
    {
    }

    RegKey& Key() const { return key_; }
    ACCESS_MASK Access() const { return access_; }

protected:
    void Dispose() override
    {
        if (defaultParent_ && Parent() != nullptr && !Parent()->IsLive()) {
            Core().Fault("WDFKEY %p (%s) was never closed by WdfRegistryClose", static_cast<void*>(this),
                         Utf16ToUtf8(key_.Path()).c_str());
        }
    }

private:
    RegKey& key_;
    const ACCESS_MASK access_;
    const bool defaultParent_;
};

bool AtPassiveLevel(HostCore& core, const char* caller)
{
    if (CurrentIrql() != PASSIVE_LEVEL) {
        core.Fault("%s: registry routines run at PASSIVE_LEVEL only", caller);
        return false;
    }
    return true;
}

/* False for a string the kernel would refuse: odd length, or past its buffer. */
bool View(PCUNICODE_STRING string, std::u16string_view& view)
{
    if (string == nullptr || (string->Length % sizeof(WCHAR)) != 0 || string->Length > string->MaximumLength ||
        (string->Length != 0 && string->Buffer == nullptr)) {
        return false;
    }
    view = std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
    return true;
}

template <typename T>
void Store(void* buffer, std::size_t offset, T value)
{
    /* The caller's buffer need not be aligned for the record. */
    std::memcpy(static_cast<char*>(buffer) + offset, &value, sizeof(value));
}

/* Lays a value out as the kernel does for the information class: the fixed
   part, the name, and for full information the data after the name at a
   4-byte aligned DataOffset. */
NTSTATUS FillValueInformation(HostCore& core, const char* caller, const RegNamedValue& value,
                              KEY_VALUE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                              PULONG resultLength)
{
    const auto nameLength = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    const auto dataLength = static_cast<ULONG>(value.data.size());
    ULONG fixed = 0;
    ULONG needed = 0;
    ULONG dataOffset = 0;
    switch (informationClass) {
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameLength;
        break;
    case KeyValueFullInformation:
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = (fixed + nameLength + 3) & ~3u;
        needed = dataOffset + dataLength;
        break;
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataLength;
        break;
    default: return STATUS_INVALID_PARAMETER;
    }
    *resultLength = needed;
    if (length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (buffer == nullptr) {
        core.Fault("%s: a NULL buffer said to hold %lu bytes", caller, static_cast<unsigned long>(length));
        return STATUS_INVALID_PARAMETER;
    }
    switch (informationClass) {
    case KeyValueBasicInformation:
        Store<ULONG>(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameLength);
        break;
    case KeyValueFullInformation:
        Store<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataLength);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameLength);
        break;
    default:
        Store<ULONG>(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        Store<ULONG>(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataLength);
        break;
    }
    if (length < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    auto* bytes = static_cast<char*>(buffer);
    if (informationClass != KeyValuePartialInformation && nameLength != 0) {
        std::memcpy(bytes + fixed, value.name.data(), nameLength);
    }
    if (informationClass != KeyValueBasicInformation && dataLength != 0) {
        std::memcpy(bytes + (informationClass == KeyValueFullInformation ? dataOffset : fixed), value.data.data(),
                    dataLength);
    }
    return STATUS_SUCCESS;
}

/* The open key behind a kernel handle, under the hive's lock; reports a
   handle that is not (or no longer) open. */
Registry::Impl::OpenKey* FindOpenKey(HostCore& core, HANDLE handle, const char* caller)
{
    Registry::Impl::OpenKey* open = core.registry.Internal().FindHandle(handle);
    if (open == nullptr) {
        core.Fault("%s: %p is not an open key handle", caller, handle);
    }
    return open;
}

} // namespace

} // namespace platform

using namespace platform;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "ZwOpenKey")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (KeyHandle == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    *KeyHandle = nullptr;
    std::u16string_view name;
    if (!View(ObjectAttributes->ObjectName, name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Registry::Impl& hive = core.registry.Internal();
    std::lock_guard lock(hive.mutex);
    RegKey* from = &hive.root;
    if (ObjectAttributes->RootDirectory != nullptr) {
        Registry::Impl::OpenKey* root = FindOpenKey(core, ObjectAttributes->RootDirectory, "ZwOpenKey");
        if (root == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        from = root->key;
    }
    std::vector<std::u16string_view> names;
    NTSTATUS status = Registry::Impl::SplitPath(name, ObjectAttributes->RootDirectory == nullptr, names);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RegKey* key = hive.Find(*from, names);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *KeyHandle = hive.AddHandle(*key, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "ZwEnumerateValueKey")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Registry::Impl& hive = core.registry.Internal();
    std::lock_guard lock(hive.mutex);
    Registry::Impl::OpenKey* open = FindOpenKey(core, KeyHandle, "ZwEnumerateValueKey");
    if (open == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if ((open->access & KEY_QUERY_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (!NT_SUCCESS(open->key->enumerationFailure)) {
        return open->key->enumerationFailure;
    }
    if (Index >= open->key->values.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    return FillValueInformation(core, "ZwEnumerateValueKey", open->key->values[Index], KeyValueInformationClass,
                                KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "ZwQueryValueKey")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::u16string_view name;
    if (ResultLength == nullptr || !View(ValueName, name)) {
        return STATUS_INVALID_PARAMETER;
    }
    Registry::Impl& hive = core.registry.Internal();
    std::lock_guard lock(hive.mutex);
    Registry::Impl::OpenKey* open = FindOpenKey(core, KeyHandle, "ZwQueryValueKey");
    if (open == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if ((open->access & KEY_QUERY_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    RegNamedValue* value = open->key->FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return FillValueInformation(core, "ZwQueryValueKey", *value, KeyValueInformationClass, KeyValueInformation,
                                Length, ResultLength);
}

NTSTATUS ZwClose(HANDLE Handle)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "ZwClose")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Registry::Impl& hive = core.registry.Internal();
    std::lock_guard lock(hive.mutex);
    if (!hive.CloseHandle(Handle)) {
        core.Fault("ZwClose: %p is not an open handle (closed twice?)", Handle);
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "WdfRegistryOpenKey")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    std::u16string_view name;
    if (!View(KeyName, name)) {
        return STATUS_INVALID_PARAMETER;
    }
    Registry::Impl& hive = core.registry.Internal();
    RegKey* from = &hive.root;
    if (ParentKey != nullptr) {
        auto* parentKey = Resolve<KeyObject>(core.objects, ParentKey, "WdfRegistryOpenKey");
        if (parentKey == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        from = &parentKey->Key();
    }
    Object* parent = &core.DefaultParent();
    const bool defaultParent = KeyAttributes == nullptr || KeyAttributes->ParentObject == nullptr;
    if (!defaultParent) {
        parent = core.objects.Resolve(KeyAttributes->ParentObject, ObjectType::Root, "WdfRegistryOpenKey");
        if (parent == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    RegKey* key = nullptr;
    {
        std::lock_guard lock(hive.mutex);
        std::vector<std::u16string_view> names;
        NTSTATUS status = Registry::Impl::SplitPath(name, ParentKey == nullptr, names);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        key = hive.Find(*from, names);
    }
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<KeyObject>(core, *key, DesiredAccess, defaultParent),
                                          *parent, KeyAttributes, &created);
    if (NT_SUCCESS(status)) {
        *Key = created->HandleAs<WDFKEY>();
    }
    return status;
}

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "WdfRegistryQueryValue")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* key = Resolve<KeyObject>(core.objects, Key, "WdfRegistryQueryValue");
    std::u16string_view name;
    if (key == nullptr || !View(ValueName, name) || (Value == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((key->Access() & KEY_QUERY_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    Registry::Impl& hive = core.registry.Internal();
    std::lock_guard lock(hive.mutex);
    RegNamedValue* value = key->Key().FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (ValueLengthQueried != nullptr) {
        *ValueLengthQueried = static_cast<ULONG>(value->data.size());
    }
    if (ValueType != nullptr) {
        *ValueType = value->type;
    }
    if (value->data.size() > ValueLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!value->data.empty()) {
        std::memcpy(Value, value->data.data(), value->data.size());
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    if (Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG data = 0;
    ULONG length = 0;
    ULONG type = REG_NONE;
    NTSTATUS status = WdfRegistryQueryValue(Key, ValueName, sizeof(data), &data, &length, &type);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_INVALID_PARAMETER ||
        status == STATUS_ACCESS_DENIED || status == STATUS_INVALID_DEVICE_STATE) {
        return status;
    }
    if (type != REG_DWORD || length != sizeof(data)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Value = data;
    return STATUS_SUCCESS;
}

VOID WdfRegistryClose(WDFKEY Key)
{
    HostCore& core = CurrentCore();
    if (!AtPassiveLevel(core, "WdfRegistryClose")) {
        return;
    }
    if (auto* key = Resolve<KeyObject>(core.objects, Key, "WdfRegistryClose")) {
        core.objects.Delete(*key);
    }
}

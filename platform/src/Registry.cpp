#include "RegistryImpl.h"

#include <algorithm>
#include <stdexcept>

#include "Unicode.h"

namespace platform {

namespace {

char16_t UpcaseName(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}

constexpr std::u16string_view kRegistryRoot = u"Registry";

} // namespace

bool RegNamesEqual(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return UpcaseName(x) == UpcaseName(y); });
}

bool Utf8ToUtf16(std::string_view text, std::u16string& out)
{
    std::u16string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        char32_t codePoint;
        std::size_t length;
        if (byte < 0x80) {
            codePoint = byte;
            length = 1;
        } else if ((byte & 0xE0) == 0xC0) {
            codePoint = byte & 0x1F;
            length = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            codePoint = byte & 0x0F;
            length = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            codePoint = byte & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kShortest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            result += static_cast<char16_t>(0xD800 + (codePoint >> 10));
            result += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            result += static_cast<char16_t>(codePoint);
        }
        i += length;
    }
    out = std::move(result);
    return true;
}

std::vector<std::uint8_t> RegStringData(std::u16string_view text)
{
    std::vector<std::uint8_t> data;
    data.reserve((text.size() + 1) * 2);
    for (char16_t unit : text) {
        data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::u16string RegFoldName(std::u16string_view name)
{
    std::u16string folded(name);
    for (char16_t& c : folded) {
        c = UpcaseName(c);
    }
    return folded;
}

RegKey* RegKey::FindSubkey(std::u16string_view wanted) const
{
    auto it = subkeyIndex_.find(RegFoldName(wanted));
    return it != subkeyIndex_.end() ? it->second : nullptr;
}

RegKey& RegKey::AddSubkey(std::u16string_view subkeyName)
{
    auto created = std::make_unique<RegKey>();
    created->name = subkeyName;
    created->parent = this;
    RegKey& added = *created;
    subkeys.push_back(std::move(created));
    subkeyIndex_.emplace(RegFoldName(subkeyName), &added);
    return added;
}

RegNamedValue* RegKey::FindValue(std::u16string_view wanted)
{
    auto it = valueIndex_.find(RegFoldName(wanted));
    return it != valueIndex_.end() ? &values[it->second] : nullptr;
}

void RegKey::AddValue(RegNamedValue value)
{
    valueIndex_.emplace(RegFoldName(value.name), values.size());
    values.push_back(std::move(value));
}

bool RegKey::RemoveValue(std::u16string_view wanted)
{
    auto it = valueIndex_.find(RegFoldName(wanted));
    if (it == valueIndex_.end()) {
        return false;
    }
    const std::size_t removed = it->second;
    valueIndex_.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(removed));
    /* The values behind it move up one place, as enumeration sees them. */
    for (auto& [folded, index] : valueIndex_) {
        if (index > removed) {
            --index;
        }
    }
    return true;
}

std::u16string RegKey::Path() const
{
    std::u16string path;
    for (const RegKey* key = this; key != nullptr; key = key->parent) {
        path.insert(0, key->name);
        path.insert(0, 1, u'\\');
    }
    return path;
}

/* ---------------------------------------------------------------------- */

Registry::Impl::Impl()
{
    root.name = kRegistryRoot;
    /* What every system has, whether or not anything was loaded. The serial
       device map itself appears only when a serial driver registers a port. */
    for (std::string_view path : {"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                                  "\\Registry\\Machine\\Software", "\\Registry\\Machine\\Hardware\\DeviceMap",
                                  "\\Registry\\User"}) {
        CreateHostPath(path);
    }
}

NTSTATUS Registry::Impl::SplitPath(std::u16string_view path, bool absolute, std::vector<std::u16string_view>& names)
{
    names.clear();
    if (absolute) {
        if (path.empty() || path.front() != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        path.remove_prefix(1);
    } else if (!path.empty() && path.front() == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    while (!path.empty()) {
        std::size_t end = path.find(u'\\');
        std::u16string_view name = path.substr(0, end);
        if (name.empty() || name.size() > 255) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        names.push_back(name);
        if (end == std::u16string_view::npos) {
            break;
        }
        path.remove_prefix(end + 1);
        if (path.empty()) {
            return STATUS_OBJECT_NAME_INVALID; /* trailing backslash */
        }
    }
    if (absolute) {
        /* Only the registry's part of the namespace lives here. */
        if (names.empty() || !RegNamesEqual(names.front(), kRegistryRoot)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        names.erase(names.begin());
    }
    return STATUS_SUCCESS;
}

RegKey* Registry::Impl::Find(RegKey& from, const std::vector<std::u16string_view>& names)
{
    RegKey* key = &from;
    for (std::u16string_view name : names) {
        key = key->FindSubkey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

RegKey& Registry::Impl::Create(RegKey& from, const std::vector<std::u16string_view>& names)
{
    RegKey* key = &from;
    for (std::u16string_view name : names) {
        RegKey* next = key->FindSubkey(name);
        key = next != nullptr ? next : &key->AddSubkey(name);
    }
    return *key;
}

void Registry::Impl::SetValue(RegKey& key, std::u16string_view name, ULONG type, std::vector<std::uint8_t> data)
{
    if (RegNamedValue* existing = key.FindValue(name)) {
        /* Replaced in place: it keeps its index and the case of its first name. */
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    key.AddValue(RegNamedValue{std::u16string(name), type, std::move(data)});
}

bool Registry::Impl::DeleteValue(RegKey& key, std::u16string_view name)
{
    return key.RemoveValue(name);
}

std::u16string Registry::Impl::HostName(std::string_view name)
{
    std::u16string converted;
    if (!Utf8ToUtf16(name, converted)) {
        throw std::invalid_argument("registry: name is not valid UTF-8: " + std::string(name));
    }
    if (converted.size() > 16383) {
        throw std::invalid_argument("registry: value name longer than 16383 characters");
    }
    return converted;
}

RegKey* Registry::Impl::FindHostPath(std::string_view path)
{
    std::u16string converted = HostName(path);
    std::vector<std::u16string_view> names;
    if (!NT_SUCCESS(SplitPath(converted, true, names))) {
        throw std::invalid_argument("registry: not a key path under \\Registry: " + std::string(path));
    }
    return Find(root, names);
}

RegKey& Registry::Impl::CreateHostPath(std::string_view path)
{
    std::u16string converted = HostName(path);
    std::vector<std::u16string_view> names;
    if (!NT_SUCCESS(SplitPath(converted, true, names))) {
        throw std::invalid_argument("registry: not a key path under \\Registry: " + std::string(path));
    }
    return Create(root, names);
}

HANDLE Registry::Impl::AddHandle(RegKey& key, ACCESS_MASK access)
{
    /* Kernel handles have the top bit set; never reused, so a handle closed
       twice is recognised rather than closing someone else's. */
    nextHandle_ += 4;
    auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xFFFFFFFF80000000ull) | nextHandle_);
    handles.emplace(handle, OpenKey{&key, access});
    return handle;
}

Registry::Impl::OpenKey* Registry::Impl::FindHandle(HANDLE handle)
{
    auto it = handles.find(handle);
    return it != handles.end() ? &it->second : nullptr;
}

bool Registry::Impl::CloseHandle(HANDLE handle)
{
    return handles.erase(handle) != 0;
}

std::size_t Registry::Impl::CloseAllHandles()
{
    std::lock_guard lock(mutex);
    std::size_t open = handles.size();
    handles.clear();
    return open;
}

/* ---------------------------------------------------------------------- */

Registry::Registry() : impl_(std::make_unique<Impl>())
{
}

Registry::~Registry() = default;

void Registry::CreateKey(std::string_view path)
{
    std::lock_guard lock(impl_->mutex);
    impl_->CreateHostPath(path);
}

bool Registry::KeyExists(std::string_view path) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->FindHostPath(path) != nullptr;
}

void Registry::SetValue(std::string_view path, std::string_view name, ULONG type, std::span<const std::uint8_t> data)
{
    std::u16string valueName = Impl::HostName(name);
    std::lock_guard lock(impl_->mutex);
    impl_->SetValue(impl_->CreateHostPath(path), valueName, type, std::vector<std::uint8_t>(data.begin(), data.end()));
}

void Registry::SetDword(std::string_view path, std::string_view name, std::uint32_t value)
{
    const std::uint8_t data[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                  static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    SetValue(path, name, REG_DWORD, data);
}

void Registry::SetString(std::string_view path, std::string_view name, std::string_view text)
{
    SetValue(path, name, REG_SZ, RegStringData(Impl::HostName(text)));
}

void Registry::SetMultiString(std::string_view path, std::string_view name, const std::vector<std::string>& texts)
{
    std::vector<std::uint8_t> data;
    for (const std::string& text : texts) {
        std::vector<std::uint8_t> one = RegStringData(Impl::HostName(text));
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    SetValue(path, name, REG_MULTI_SZ, data);
}

void Registry::SetBinary(std::string_view path, std::string_view name, std::span<const std::uint8_t> data)
{
    SetValue(path, name, REG_BINARY, data);
}

bool Registry::DeleteValue(std::string_view path, std::string_view name)
{
    std::u16string valueName = Impl::HostName(name);
    std::lock_guard lock(impl_->mutex);
    RegKey* key = impl_->FindHostPath(path);
    return key != nullptr && impl_->DeleteValue(*key, valueName);
}

void Registry::FailValueEnumeration(std::string_view path, NTSTATUS status)
{
    std::lock_guard lock(impl_->mutex);
    impl_->CreateHostPath(path).enumerationFailure = status;
}

std::optional<RegValue> Registry::GetValue(std::string_view path, std::string_view name) const
{
    std::u16string valueName = Impl::HostName(name);
    std::lock_guard lock(impl_->mutex);
    RegKey* key = impl_->FindHostPath(path);
    RegNamedValue* value = key != nullptr ? key->FindValue(valueName) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return RegValue{value->type, value->data};
}

std::optional<std::uint32_t> Registry::GetDword(std::string_view path, std::string_view name) const
{
    std::optional<RegValue> value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) {
        return std::nullopt;
    }
    const auto& d = value->data;
    return static_cast<std::uint32_t>(d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<std::uint32_t>(d[3]) << 24));
}

std::optional<std::string> Registry::GetString(std::string_view path, std::string_view name) const
{
    std::optional<RegValue> value = GetValue(path, name);
    if (!value || value->type != REG_SZ) {
        return std::nullopt;
    }
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value->data.size(); i += 2) {
        text += static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    }
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return Utf16ToUtf8(text);
}

std::vector<std::string> Registry::ValueNames(std::string_view path) const
{
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    if (RegKey* key = impl_->FindHostPath(path)) {
        for (const RegNamedValue& value : key->values) {
            names.push_back(Utf16ToUtf8(value.name));
        }
    }
    return names;
}

void Registry::AddSerialPort(std::string_view deviceName, std::string_view comName)
{
    SetString(kSerialCommKey, deviceName, comName);
}

bool Registry::RemoveSerialPort(std::string_view deviceName)
{
    return DeleteValue(kSerialCommKey, deviceName);
}

std::size_t Registry::OpenHandles() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->handles.size();
}

} // namespace platform

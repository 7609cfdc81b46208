/*
 * The hive behind platform::Registry: a tree of keys with their values, and
 * the table of kernel key handles. Keys are never removed while the host
 * lives, so a handle or a WDFKEY can hold a plain pointer to its key.
 */
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <platform/Registry.h>

namespace platform {

struct RegNamedValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct RegKey {
    std::u16string name;
    RegKey* parent = nullptr;
    std::vector<std::unique_ptr<RegKey>> subkeys;
    /* In creation order: what enumeration by index walks. */
    std::vector<RegNamedValue> values;
    /* A damaged key: enumerating its values fails with this at every index. */
    NTSTATUS enumerationFailure = STATUS_SUCCESS;

    RegKey* FindSubkey(std::u16string_view name) const;
    RegNamedValue* FindValue(std::u16string_view name);
    RegKey& AddSubkey(std::u16string_view name);
    /* Appends a value whose name the key does not have yet. */
    void AddValue(RegNamedValue value);
    bool RemoveValue(std::u16string_view name);
    /* "\Registry\Machine\..." */
    std::u16string Path() const;

private:
    /* By folded name: a file that fills one key with tens of thousands of
       values must not search all of them for every new one. */
    std::unordered_map<std::u16string, RegKey*> subkeyIndex_;
    std::unordered_map<std::u16string, std::size_t> valueIndex_;
};

/* The registry's comparison: case-insensitive for ASCII and Latin-1 letters. */
bool RegNamesEqual(std::u16string_view a, std::u16string_view b);
/* The name as that comparison sees it: equal names fold to the same text. */
std::u16string RegFoldName(std::u16string_view name);

/* False (out untouched) when text is not valid UTF-8. */
bool Utf8ToUtf16(std::string_view text, std::u16string& out);

/* A REG_SZ's bytes: UTF-16LE with its terminating NUL. */
std::vector<std::uint8_t> RegStringData(std::u16string_view text);

class Registry::Impl {
public:
    Impl();

    /* Splits a path into its names. With absolute set the path must begin
       with "\Registry"; otherwise it is relative and must not begin with a
       backslash. Empty names (doubled or trailing backslashes) are invalid. */
    static NTSTATUS SplitPath(std::u16string_view path, bool absolute, std::vector<std::u16string_view>& names);

    /* Under the lock. NULL when a key on the way does not exist. */
    RegKey* Find(RegKey& from, const std::vector<std::u16string_view>& names);
    RegKey& Create(RegKey& from, const std::vector<std::u16string_view>& names);
    void SetValue(RegKey& key, std::u16string_view name, ULONG type, std::vector<std::uint8_t> data);
    bool DeleteValue(RegKey& key, std::u16string_view name);

    /* Host-side paths and names in UTF-8; throws std::invalid_argument when malformed. */
    RegKey* FindHostPath(std::string_view path);
    RegKey& CreateHostPath(std::string_view path);
    static std::u16string HostName(std::string_view name);

    /* ---- Kernel handles. ---- */
    struct OpenKey {
        RegKey* key = nullptr;
        ACCESS_MASK access = 0;
    };
    HANDLE AddHandle(RegKey& key, ACCESS_MASK access);
    /* NULL when handle is not an open key handle. */
    OpenKey* FindHandle(HANDLE handle);
    bool CloseHandle(HANDLE handle);
    /* Closes whatever is still open and returns how many were; takes the lock. */
    std::size_t CloseAllHandles();

    mutable std::mutex mutex;
    RegKey root;
    std::map<HANDLE, OpenKey> handles;

private:
    std::uintptr_t nextHandle_ = 0;
};

} // namespace platform

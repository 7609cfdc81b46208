/*
 * The host's registry: an in-memory hive that the driver reads through the
 * kernel's and the framework's registry routines, and that tests and tools
 * fill through this class or from a .reg file.
 *
 * Paths are the kernel's ("\Registry\Machine\System\..."); names compare
 * without regard to case, as in the real registry. Texts cross this API as
 * UTF-8 and are stored as UTF-16, as the driver sees them. A malformed path
 * or name given here is a bug in the test and throws std::invalid_argument.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <ntddk.h>

namespace platform {

/* Where the system lists its serial ports: name = serial device, data = COM name. */
inline constexpr std::string_view kSerialCommKey = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

struct RegValue {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

/* The largest .reg file read: a configuration is kilobytes, and a device such as
   /dev/zero given by mistake must end in an error, not in all the memory there is. */
inline constexpr std::size_t kMaxRegFileBytes = 16 * 1024 * 1024;

/* The outcome of loading a .reg file: on failure, nothing of it was applied. */
struct RegLoadResult {
    bool ok = true;
    /* 1-based line of the first error; 0 when the file could not be read. */
    std::size_t line = 0;
    /* "<source>:<line>: <what is wrong>" */
    std::string message;

    explicit operator bool() const { return ok; }
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    /* ---- Keys and values. Setting a value creates the keys on its path. ---- */
    void CreateKey(std::string_view path);
    bool KeyExists(std::string_view path) const;
    /* An empty name is the key's default value. */
    void SetDword(std::string_view path, std::string_view name, std::uint32_t value);
    /* REG_SZ, stored with its terminating NUL as the kernel keeps it. */
    void SetString(std::string_view path, std::string_view name, std::string_view text);
    void SetMultiString(std::string_view path, std::string_view name, const std::vector<std::string>& texts);
    void SetBinary(std::string_view path, std::string_view name, std::span<const std::uint8_t> data);
    /* Any type, data as it is stored (UTF-16LE for texts). */
    void SetValue(std::string_view path, std::string_view name, ULONG type, std::span<const std::uint8_t> data);
    bool DeleteValue(std::string_view path, std::string_view name);
    /* Fault injection: enumerating the values of the key at path (created if
       need be) fails with status at every index, as a damaged hive does;
       STATUS_SUCCESS heals it. */
    void FailValueEnumeration(std::string_view path, NTSTATUS status);

    std::optional<RegValue> GetValue(std::string_view path, std::string_view name) const;
    /* Only a REG_DWORD of four bytes, and only a REG_SZ, answer these. */
    std::optional<std::uint32_t> GetDword(std::string_view path, std::string_view name) const;
    std::optional<std::string> GetString(std::string_view path, std::string_view name) const;
    /* Value names in the order ZwEnumerateValueKey returns them (creation order). */
    std::vector<std::string> ValueNames(std::string_view path) const;

    /* ---- The serial device map, as a serial driver fills it. ---- */
    /* deviceName "\Device\Serial0", comName "COM1". The key appears with its first port. */
    void AddSerialPort(std::string_view deviceName, std::string_view comName);
    bool RemoveSerialPort(std::string_view deviceName);

    /* ---- .reg files ("Windows Registry Editor Version 5.00"). ---- */
    RegLoadResult LoadText(std::string_view text, std::string_view sourceName = "<text>");
    RegLoadResult LoadFile(const std::string& fileName);
    /* The file's bytes as LoadFile reads them, for a caller that loads them later;
       refused when it cannot be read or is larger than kMaxRegFileBytes. */
    static RegLoadResult ReadFile(const std::string& fileName, std::string& contents);

    /* Key handles opened by ZwOpenKey and not yet closed by ZwClose. */
    std::size_t OpenHandles() const;

    /* The hive itself, for the kernel and framework routines. */
    class Impl;
    Impl& Internal() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform

/* The driver's two ways into the registry: framework keys for its service
   key, kernel handles for enumerating the serial device map. */
#include <string>
#include <vector>

#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace {

constexpr const char* kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver";

UNICODE_STRING Name(const WCHAR* text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

class RegistryTest : public PlatformTest {
protected:
    platform::Registry& Registry() { return host.GetRegistry(); }

    WDFKEY OpenServiceKey(ACCESS_MASK access = KEY_READ)
    {
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfRegistryOpenKey(nullptr, host.RegistryPath(), access, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);
        return key;
    }

    NTSTATUS OpenKernelKey(const WCHAR* path, HANDLE* handle, HANDLE root = nullptr)
    {
        UNICODE_STRING name = Name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(handle, KEY_READ, &attributes);
    }

    static constexpr const WCHAR* kSerialComm = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";
};

TEST_F(RegistryTest, ServiceKeyReadsAsDriverEntryReadsIt)
{
    Registry().SetDword(kService, "DebugLevel", 0x81);
    Registry().SetDword(kService, "RT1PRIMARY", 0x10028);
    Registry().SetString(kService, "Label", "abcdef");

    WDFKEY key = OpenServiceKey();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(host.LiveObjects("WDFKEY"), 1u);

    ULONG value = 0;
    ULONG type = REG_NONE;
    UNICODE_STRING debugLevel = Name(u"debuglevel"); /* names compare without case */
    EXPECT_EQ(WdfRegistryQueryValue(key, &debugLevel, sizeof(value), &value, nullptr, &type), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x81u);
    EXPECT_EQ(type, ULONG{REG_DWORD});
    UNICODE_STRING rt1 = Name(u"RT1PRIMARY");
    EXPECT_EQ(WdfRegistryQueryULong(key, &rt1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x10028u);

    /* A longer value into four bytes fails and leaves the buffer alone. */
    value = 0xDEADBEEF;
    ULONG length = 0;
    UNICODE_STRING label = Name(u"Label");
    EXPECT_EQ(WdfRegistryQueryValue(key, &label, sizeof(value), &value, &length, &type), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(value, 0xDEADBEEFu);
    EXPECT_EQ(length, 14u); /* six characters and the NUL */
    EXPECT_EQ(type, ULONG{REG_SZ});
    EXPECT_EQ(WdfRegistryQueryULong(key, &label, &value), STATUS_OBJECT_TYPE_MISMATCH);

    UNICODE_STRING absent = Name(u"HOLD");
    EXPECT_EQ(WdfRegistryQueryValue(key, &absent, sizeof(value), &value, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(WdfRegistryQueryULong(key, &absent, &value), STATUS_OBJECT_NAME_NOT_FOUND);

    WdfRegistryClose(key);
    EXPECT_EQ(host.LiveObjects("WDFKEY"), 0u);
}

TEST_F(RegistryTest, OpenKeyFailuresAndRelativeOpens)
{
    Registry().SetDword(std::string(kService) + "\\Parameters", "Gap", 5);
    WDFKEY key = reinterpret_cast<WDFKEY>(1);
    UNICODE_STRING missing = Name(u"\\Registry\\Machine\\System\\NoSuchKey");
    EXPECT_EQ(WdfRegistryOpenKey(nullptr, &missing, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    UNICODE_STRING trailing = Name(u"\\Registry\\Machine\\");
    EXPECT_EQ(WdfRegistryOpenKey(nullptr, &trailing, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_OBJECT_NAME_INVALID);

    WDFKEY service = OpenServiceKey();
    UNICODE_STRING parameters = Name(u"PARAMETERS");
    WDFKEY child = nullptr;
    ASSERT_EQ(WdfRegistryOpenKey(service, &parameters, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &child), STATUS_SUCCESS);
    ULONG gap = 0;
    UNICODE_STRING gapName = Name(u"Gap");
    EXPECT_EQ(WdfRegistryQueryULong(child, &gapName, &gap), STATUS_SUCCESS);
    EXPECT_EQ(gap, 5u);

    /* A key opened without query rights cannot be read. */
    WDFKEY writeOnly = OpenServiceKey(KEY_SET_VALUE);
    EXPECT_EQ(WdfRegistryQueryULong(writeOnly, &gapName, &gap), STATUS_ACCESS_DENIED);

    WdfRegistryClose(writeOnly);
    WdfRegistryClose(child);
    WdfRegistryClose(service);
    EXPECT_EQ(host.LiveObjects("WDFKEY"), 0u);
}

TEST_F(RegistryTest, KeyLeftOpenIsReportedWhenTheDriverGoes)
{
    platform::VerifierCapture faults(host);
    OpenServiceKey();
    /* One given a parent of its own is simply deleted with it. */
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    WDFKEY owned = nullptr;
    ASSERT_EQ(WdfRegistryOpenKey(nullptr, host.RegistryPath(), KEY_READ, &attributes, &owned), STATUS_SUCCESS);

    host.UnloadDriver();
    EXPECT_THAT(faults.Messages(), ElementsAre(HasSubstr("HartDriver) was never closed by WdfRegistryClose")));
    EXPECT_EQ(host.LiveObjects("WDFKEY"), 0u);
}

TEST_F(RegistryTest, SerialDeviceMapEnumeratesIntoTheKernelsLayout)
{
    HANDLE handle = nullptr;
    /* No serial driver has registered a port yet: no map at all. */
    EXPECT_EQ(OpenKernelKey(kSerialComm, &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    Registry().AddSerialPort("\\Device\\Serial0", "COM1");
    Registry().AddSerialPort("VCP0", "COM12");
    ASSERT_EQ(OpenKernelKey(u"\\REGISTRY\\machine\\Hardware\\DeviceMap\\SerialComm", &handle), STATUS_SUCCESS);
    EXPECT_EQ(Registry().OpenHandles(), 1u);

    alignas(8) UCHAR buffer[272];
    ULONG resultLength = 0;
    ASSERT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(info->TitleIndex, 0u);
    EXPECT_EQ(info->Type, ULONG{REG_SZ});
    EXPECT_EQ(info->NameLength, 30u);
    EXPECT_EQ(info->DataOffset, 52u); /* 20 + 30, aligned to 4 */
    EXPECT_EQ(info->DataLength, 10u); /* "COM1" and its NUL */
    EXPECT_EQ(resultLength, 62u);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"\\Device\\Serial0");
    EXPECT_EQ(std::u16string(reinterpret_cast<const WCHAR*>(buffer + info->DataOffset), 5),
              std::u16string(u"COM1\0", 5));

    ASSERT_EQ(ZwEnumerateValueKey(handle, 1, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_SUCCESS);
    EXPECT_EQ(info->DataOffset, 28u); /* 20 + 8 */
    EXPECT_EQ(info->DataLength, 12u);
    EXPECT_EQ(ZwEnumerateValueKey(handle, 2, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_NO_MORE_ENTRIES);

    /* A damaged key fails every index, past the end too, until it is healed. */
    Registry().FailValueEnumeration(platform::kSerialCommKey, STATUS_INSUFFICIENT_RESOURCES);
    for (ULONG index : {0u, 5u}) {
        EXPECT_EQ(ZwEnumerateValueKey(handle, index, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    Registry().FailValueEnumeration(platform::kSerialCommKey, STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_SUCCESS);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Registry().OpenHandles(), 0u);
}

TEST_F(RegistryTest, ValueThatDoesNotFitIsReportedWithTheSizeItNeeds)
{
    /* 130 characters: 20 + 260 bytes of name alone pass 272. */
    const std::string longName = "\\Device\\" + std::string(122, 'X');
    Registry().AddSerialPort(longName, "COM9");
    Registry().AddSerialPort("\\Device\\Serial1", "COM2");
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernelKey(kSerialComm, &handle), STATUS_SUCCESS);

    alignas(8) UCHAR buffer[272];
    std::memset(buffer, 0xCC, sizeof(buffer));
    ULONG resultLength = 0;
    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength, 20u + 260u + 10u);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(info->NameLength, 260u);
    EXPECT_EQ(info->DataLength, 10u);
    EXPECT_EQ(buffer[20], 0xCC); /* only the fixed part is filled */

    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, buffer, 19, &resultLength),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, 290u);
    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, nullptr, 0, &resultLength),
              STATUS_BUFFER_TOO_SMALL);

    /* Exactly the size needed is enough; one byte less is not. */
    std::vector<UCHAR> exact(290);
    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, exact.data(), 289, &resultLength),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, exact.data(), 290, &resultLength),
              STATUS_SUCCESS);

    /* The entry after the one that did not fit is still there. */
    EXPECT_EQ(ZwEnumerateValueKey(handle, 1, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(RegistryTest, KernelHandleMisuseIsReported)
{
    Registry().AddSerialPort("\\Device\\Serial0", "COM1");
    platform::VerifierCapture faults(host);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernelKey(kSerialComm, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ULONG resultLength = 0;
    UCHAR buffer[64];
    EXPECT_EQ(ZwEnumerateValueKey(handle, 0, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

    WDFSPINLOCK lock = nullptr;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    EXPECT_NE(OpenKernelKey(kSerialComm, &handle), STATUS_SUCCESS);
    WdfSpinLockRelease(lock);
    EXPECT_THAT(faults.Messages(), ElementsAre(HasSubstr("is not an open key handle"),
                                               HasSubstr("ZwClose: "), HasSubstr("PASSIVE_LEVEL")));
}

TEST(RegistryTeardownTest, HandleNeverClosedIsReportedAtShutdown)
{
    std::vector<std::string> faults;
    {
        platform::Host host;
        host.SetVerifierHandler([&](std::string_view message) { faults.emplace_back(message); });
        UNICODE_STRING name = Name(u"\\Registry\\Machine\\System");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle = nullptr;
        ASSERT_EQ(ZwOpenKey(&handle, KEY_READ, &attributes), STATUS_SUCCESS);
    }
    EXPECT_THAT(faults, ElementsAre(HasSubstr("1 registry key handle(s) opened by ZwOpenKey and never closed")));
}

} // namespace

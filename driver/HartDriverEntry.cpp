/*
 * Driver entry: the driver object with its record, the trace mask and the
 * link timing set from the service key, the banner, and the collection of
 * port devices with its lock.
 */
#include "driver/HartDriver.h"
#include "link/HartTrace.h"

#define HART_KEY_READ 0x20019
#define HART_BANNER_STARS "************************************************************"

/*
 * One timing value: its registry name, where it goes, its default, and the
 * least value that works. A wait of zero ticks never starts, so the master
 * would wait on it for ever; and no HART wait is longer than a minute, while
 * a longer one would hold every write for that long. HART_UNCHECKED marks
 * values no operation reads.
 */
typedef struct _HART_TIMING_VALUE {
    PCWSTR Name;
    USHORT DRIVER_CONTEXT::*Field;
    USHORT Default;
    USHORT Minimum;
} HART_TIMING_VALUE;

#define HART_UNCHECKED 0xFFFF
#define HART_MAX_TIMING_TICKS 6000

/* In the order they are read; QUIETTIME follows RT1PRIMARY, whose value is its default. */
static const HART_TIMING_VALUE HartTimingValues[] = {
    {u"HOLD", &DRIVER_CONTEXT::Hold, 3, 1},
    {u"GAP", &DRIVER_CONTEXT::Gap, 3, 1},
    {u"RT1PRIMARY", &DRIVER_CONTEXT::Rt1Primary, 34, 1},
    {u"RT1SECONDARY", &DRIVER_CONTEXT::Rt1Secondary, 42, HART_UNCHECKED},
    {u"RT2", &DRIVER_CONTEXT::Rt2, 8, 1},
    {u"STO", &DRIVER_CONTEXT::Sto, 28, HART_UNCHECKED},
    {u"QUIETTIME", &DRIVER_CONTEXT::QuietTime, 0, 0},
    {u"BGTIMESTART", &DRIVER_CONTEXT::BgTimeStart, 298, 1},
    {u"BGTIMEERROR", &DRIVER_CONTEXT::BgTimeError, 296, 1},
    {u"RT1DIFF", &DRIVER_CONTEXT::Rt1Diff, 0, 0},
    {u"PRE2", &DRIVER_CONTEXT::Pre2, 3, HART_UNCHECKED},
    {u"MISSEDTRANSMITWINDOW", &DRIVER_CONTEXT::MissedTransmitWindow, 77, 1},
};

#define HART_TIME_INTERVAL_DEFAULT (-100000)

NTSTATUS HartUtilRegistryValueGet(PCUNICODE_STRING RegistryPath, PCUNICODE_STRING ValueName, PULONG Value)
{
    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, RegistryPath, HART_KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s HartUtilRegistryValueGet WdfRegistryOpenKey failed! Status 0x%X %S\n",
                  "HartUtilRegistryValueGet", (unsigned)status, RegistryPath->Buffer);
        return status;
    }
    ULONG valueType = 0;
    status = WdfRegistryQueryValue(key, ValueName, sizeof(ULONG), Value, NULL, &valueType);
    WdfRegistryClose(key);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x10, "HartUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0x%X\n", (unsigned)status);
    }
    return status;
}

/* A value read from the service key, or the default when it is absent or unreadable. */
static ULONG HartReadValue(PCUNICODE_STRING RegistryPath, PCWSTR Name, ULONG Default)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    /* Zero first, so that a value shorter than four bytes yields its bytes and zeros. */
    ULONG value = 0;
    return NT_SUCCESS(HartUtilRegistryValueGet(RegistryPath, &valueName, &value)) ? value : Default;
}

static VOID HartReadTimingValues(PDRIVER_CONTEXT DriverContext, PCUNICODE_STRING RegistryPath)
{
    for (const HART_TIMING_VALUE& timing : HartTimingValues) {
        USHORT fallback = (timing.Field == &DRIVER_CONTEXT::QuietTime) ? DriverContext->Rt1Primary : timing.Default;
        USHORT value = (USHORT)(HartReadValue(RegistryPath, timing.Name, fallback) & 0xFFFF);
        if (timing.Minimum != HART_UNCHECKED && (value < timing.Minimum || value > HART_MAX_TIMING_TICKS)) {
            HartTrace(0x01, "%s: %ws = %d ticks cannot work; the default %d is used\n", "HartReadTimingValues",
                      timing.Name, (int)value, (int)fallback);
            value = fallback;
        }
        DriverContext->*timing.Field = value;
    }
    DriverContext->TimeInterval = (LONG)HartReadValue(RegistryPath, u"TIMEINTERVAL", (ULONG)HART_TIME_INTERVAL_DEFAULT);
}

VOID HartPrintBanner(VOID)
{
    if (TraceMask == 0) {
        return;
    }
    DbgPrintEx(HART_TRACE_COMPONENT, HART_TRACE_LEVEL, HART_BANNER_STARS "\n\n");
    DbgPrintEx(HART_TRACE_COMPONENT, HART_TRACE_LEVEL, "\t\tHART Driver\n");
    DbgPrintEx(HART_TRACE_COMPONENT, HART_TRACE_LEVEL, "\t\tBuilt %s %s\n", __DATE__, __TIME__);
    DbgPrintEx(HART_TRACE_COMPONENT, HART_TRACE_LEVEL, "\n" HART_BANNER_STARS "\n\n");
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    HartTrace(0x02, "%s >>>> \n", "DriverEntry");
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DRIVER_CONTEXT);
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, HartEvtDriverDeviceAdd);
    config.EvtDriverUnload = HartMainEvtDriverUnload;
    WDFDRIVER driver = NULL;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG debugLevel = 0;
    UNICODE_STRING debugLevelName;
    RtlInitUnicodeString(&debugLevelName, u"DebugLevel");
    if (NT_SUCCESS(HartUtilRegistryValueGet(RegistryPath, &debugLevelName, &debugLevel))) {
        HartSetDebugLevel(debugLevel);
        HartPrintBanner();
    } else {
        HartSetDebugLevel(0);
    }
    PDRIVER_CONTEXT driverContext = HartGetDriverContext(driver);
    HartReadTimingValues(driverContext, RegistryPath);

    status = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &driverContext->Collection);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s WdfCollectionCreate Failed! Status: 0x%X\n", "DriverEntry", (unsigned)status);
        return status;
    }
    status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &driverContext->WaitLock);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s WdfWaitLockCreate Failed! Status: 0x%X\n", "DriverEntry", (unsigned)status);
        return status;
    }
    HartTrace(0x02, "%s <<<< \n", "DriverEntry");
    return STATUS_SUCCESS;
}

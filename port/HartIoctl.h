/*
 * What a client of HartDriver needs to talk to it: the device interface of
 * the main device, the names of the port devices, the control codes and the
 * layouts of their buffers. Shared by the driver and its clients, so beyond
 * the system's GUID type it uses plain fixed-width types only.
 */
#pragma once

#include <cstdint>

#include <ntddk.h>

/* Main device interface class {7C742A2D-EB8D-4F95-A675-7743A01D3D90}. */
inline constexpr GUID GUID_DEVINTERFACE_HART_MAIN = {
    0x7C742A2D, 0xEB8D, 0x4F95, {0xA6, 0x75, 0x77, 0x43, 0xA0, 0x1D, 0x3D, 0x90}};

/* Port devices: each prefix is followed by the text after "COM" in the port's name. */
#define HART_PORT_DEVICE_NAME_PREFIX u"\\Device\\{6F3A2C18-94B1-4E7D-A2C5-0B8E71D4F963}_Hart"
#define HART_PORT_LINK_NAME_PREFIX u"\\DosDevices\\{6F3A2C18-94B1-4E7D-A2C5-0B8E71D4F963}_HART"
#define HART_PORT_SDDL u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;WD)(A;;GA;;;RC)"

/* Control codes: device type 0x9C40, buffered, any access. */
#define HART_CTL_CODE(function) ((uint32_t)((0x9C40u << 16) | ((function) << 2)))

#define IOCTL_HART_SET_BAUD_RATE HART_CTL_CODE(0x38F)                      /* 0x9C400E3C */
#define IOCTL_HART_GET_PROTOCOL HART_CTL_CODE(0x390)                       /* 0x9C400E40 */
#define IOCTL_HART_SET_PROTOCOL HART_CTL_CODE(0x391)                       /* 0x9C400E44 */
#define IOCTL_HART_GET_READ_MASK HART_CTL_CODE(0x393)                      /* 0x9C400E4C */
#define IOCTL_HART_SET_READ_MASK HART_CTL_CODE(0x394)                      /* 0x9C400E50 */
#define IOCTL_HART_ENUMERATE_DEVICES HART_CTL_CODE(0x398)                  /* 0x9C400E60 */
#define IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE HART_CTL_CODE(0x399)    /* 0x9C400E64 */
#define IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE HART_CTL_CODE(0x39A)  /* 0x9C400E68 */
#define IOCTL_HART_MODEM_INIT HART_CTL_CODE(0x39B)                         /* 0x9C400E6C */

/* IOCTL_HART_GET_PROTOCOL output and IOCTL_HART_SET_PROTOCOL input, 4 bytes. */
#pragma pack(push, 1)
struct HART_PROTOCOL_SETTINGS {
    uint16_t StateMachineMode; /* 0 master, 1 slave */
    uint8_t MasterType;        /* 0x80 primary, 0x00 secondary */
    uint8_t RetryCount;        /* repeats after the first attempt */
};
#pragma pack(pop)
static_assert(sizeof(HART_PROTOCOL_SETTINGS) == 4, "protocol settings are four bytes on the wire");

/* Receive mask bits: which received frames reach the client's reads. */
#define HART_RCV_MASK_BACK 0x01        /* burst frame for this master */
#define HART_RCV_MASK_ACK 0x02         /* answer to this master */
#define HART_RCV_MASK_STX 0x04         /* request of this master */
#define HART_RCV_MASK_OTHER_BACK 0x10  /* burst frame for the other master */
#define HART_RCV_MASK_OTHER_ACK 0x20   /* answer to the other master */
#define HART_RCV_MASK_OTHER_STX 0x40   /* request of the other master */

/* IOCTL_HART_MODEM_INIT input: two name records of 260 bytes. */
#define HART_MODEM_INIT_NAME_BYTES 256
#pragma pack(push, 1)
struct HART_MODEM_INIT_NAME {
    char16_t Name[HART_MODEM_INIT_NAME_BYTES / 2];
    uint32_t Length; /* bytes of Name in use */
};
struct HART_MODEM_INIT {
    HART_MODEM_INIT_NAME SerialDeviceName; /* e.g. \Device\Serial0, no terminator */
    HART_MODEM_INIT_NAME ComName;          /* "COM", the suffix, NUL; Length counts the NUL */
};
#pragma pack(pop)
static_assert(sizeof(HART_MODEM_INIT) == 520, "the port description is 520 bytes");

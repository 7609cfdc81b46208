/*
 * The serial port interface: the device-control codes and structures that a
 * serial port's driver takes, as the system publishes them. Shared by the
 * driver, which sends them, and the platform's serial port drivers, which
 * answer them.
 */
#pragma once

#include <ntddk.h>

#define FILE_DEVICE_SERIAL_PORT_CODE 0x0000001b
#define SERIAL_CTL_CODE(function) \
    ((ULONG)(((FILE_DEVICE_SERIAL_PORT_CODE) << 16) | ((function) << 2) /* METHOD_BUFFERED, FILE_ANY_ACCESS */))

#define IOCTL_SERIAL_SET_BAUD_RATE SERIAL_CTL_CODE(1)      /* 0x1B0004 */
#define IOCTL_SERIAL_SET_LINE_CONTROL SERIAL_CTL_CODE(3)   /* 0x1B000C */
#define IOCTL_SERIAL_SET_TIMEOUTS SERIAL_CTL_CODE(7)       /* 0x1B001C */
#define IOCTL_SERIAL_SET_DTR SERIAL_CTL_CODE(9)            /* 0x1B0024 */
#define IOCTL_SERIAL_SET_WAIT_MASK SERIAL_CTL_CODE(17)     /* 0x1B0044 */
#define IOCTL_SERIAL_PURGE SERIAL_CTL_CODE(19)             /* 0x1B004C */
#define IOCTL_SERIAL_SET_HANDFLOW SERIAL_CTL_CODE(25)      /* 0x1B0064 */
#define IOCTL_SERIAL_SET_FIFO_CONTROL SERIAL_CTL_CODE(39)  /* 0x1B009C */

typedef struct _SERIAL_BAUD_RATE {
    ULONG BaudRate;
} SERIAL_BAUD_RATE, *PSERIAL_BAUD_RATE;

typedef struct _SERIAL_LINE_CONTROL {
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR WordLength;
} SERIAL_LINE_CONTROL, *PSERIAL_LINE_CONTROL;

#define STOP_BIT_1 0
#define STOP_BITS_1_5 1
#define STOP_BITS_2 2

#define NO_PARITY 0
#define ODD_PARITY 1
#define EVEN_PARITY 2
#define MARK_PARITY 3
#define SPACE_PARITY 4

typedef struct _SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;

typedef struct _SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
} SERIAL_HANDFLOW, *PSERIAL_HANDFLOW;

/* ControlHandShake */
#define SERIAL_DTR_MASK ((ULONG)0x03)
#define SERIAL_DTR_CONTROL ((ULONG)0x01)
#define SERIAL_DTR_HANDSHAKE ((ULONG)0x02)
#define SERIAL_CTS_HANDSHAKE ((ULONG)0x08)
#define SERIAL_DSR_HANDSHAKE ((ULONG)0x10)
#define SERIAL_DCD_HANDSHAKE ((ULONG)0x20)
#define SERIAL_DSR_SENSITIVITY ((ULONG)0x40)
#define SERIAL_ERROR_ABORT ((ULONG)0x80000000)

/* FlowReplace */
#define SERIAL_AUTO_TRANSMIT ((ULONG)0x01)
#define SERIAL_AUTO_RECEIVE ((ULONG)0x02)
#define SERIAL_RTS_MASK ((ULONG)0xC0)
#define SERIAL_RTS_CONTROL ((ULONG)0x40)
#define SERIAL_RTS_HANDSHAKE ((ULONG)0x80)
#define SERIAL_TRANSMIT_TOGGLE ((ULONG)0xC0)

/* Purge mask */
#define SERIAL_PURGE_TXABORT 0x00000001
#define SERIAL_PURGE_RXABORT 0x00000002
#define SERIAL_PURGE_TXCLEAR 0x00000004
#define SERIAL_PURGE_RXCLEAR 0x00000008

/* FIFO control */
#define SERIAL_IOC_FCR_FIFO_ENABLE ((ULONG)0x00000001)
#define SERIAL_IOC_FCR_RCVR_RESET ((ULONG)0x00000002)
#define SERIAL_IOC_FCR_XMIT_RESET ((ULONG)0x00000004)

/* Wait mask */
#define SERIAL_EV_RXCHAR 0x0001
#define SERIAL_EV_ERR 0x0080

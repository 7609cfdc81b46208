/*
 * The framework, as far as the driver uses it.
 */
#pragma once

#include <ntddk.h>

#include <wdftypes.h>
#include <wdfobject.h>
#include <wdfdriver.h>
#include <wdfdevice.h>
#include <wdfsync.h>
#include <wdfcollection.h>
#include <wdftimer.h>
#include <wdfworkitem.h>
#include <wdfrequest.h>
#include <wdfmemory.h>
#include <wdffileobject.h>
#include <wdfio.h>
#include <wdfiotarget.h>
#include <wdfregistry.h>

// Driver-wide state and the records every subsystem reaches through it: DriverGlobals, the
// FilterAdapter of each filter module and the driver's identity.
// Kernel mode; the locking rules are written on each record.
#pragma once

#include "base/control_interface.h"
#include "platform/ndis.h"

struct StreamPort;

// ---- Identity -------------------------------------------------------------------------------
constexpr ULONG POOL_TAG = 0x45676947;         // "GigE": every allocation of the driver
constexpr ULONG NAME_QUERY_TAG = 0x47494745;   // "EGIG": the short-lived name-query buffer
constexpr ULONG OID_CLONE_TAG = POOL_TAG;

constexpr ULONG MAX_ADAPTERS = 32;
constexpr ULONG MAX_STREAM_PORTS = 32;

constexpr UCHAR FILTER_MAJOR_NDIS_VERSION = 6;
constexpr UCHAR FILTER_MINOR_NDIS_VERSION = 20;
constexpr UCHAR FILTER_MAJOR_DRIVER_VERSION = 1;
constexpr UCHAR FILTER_MINOR_DRIVER_VERSION = 0;

// Lookaside entries of the worker thread's resend work items.
constexpr ULONG RESEND_WORK_ITEM_SIZE = 8984;

// ---- Driver-wide state ----------------------------------------------------------------------
// One statically allocated record, zero at load.
struct FilterAdapter;

struct DriverGlobalsRecord {
    PDRIVER_OBJECT DriverObject;          // written by DriverEntry; the event log needs it, and it is
                                          // the filter driver context FilterAttach checks
    NDIS_HANDLE FilterDriverHandle;       // written by DriverEntry
    NDIS_HANDLE ControlDeviceHandle;      // written by RegisterControlDevice, cleared by unload
    PDEVICE_OBJECT ControlDeviceObject;   // written by RegisterControlDevice
    PNDIS_RW_LOCK_EX AdapterTableLock;    // over AdapterTable, every StreamPorts slot, every
                                          // handle's StreamPort and every port's ControlBlock
    _Guarded_by_(AdapterTableLock) FilterAdapter* AdapterTable[MAX_ADAPTERS];
    PDEVICE_OBJECT NotificationDevice;    // written and referenced by DriverEntry, released by unload
    HANDLE WorkerThreadHandle;            // written by DriverEntry, closed by unload
    volatile LONG WorkerStop;             // written once by unload, polled by the worker
    volatile LONG WorkerIdle;             // 1 while the worker sleeps on WorkerWake for lack of work
    KEVENT WorkerWake;                    // set by the frame that ends the worker's sleep, and by unload
    NPAGED_LOOKASIDE_LIST ResendWorkItemLookaside;
    REGHANDLE TraceHandle;                // the software-trace provider's registration
    BOOLEAN LookasideReady;               // ResendWorkItemLookaside is initialised
    BOOLEAN ProcessNotifyRegistered;      // the process-exit routine is registered
};

extern DriverGlobalsRecord DriverGlobals;
extern const CHAR DriverVersion[DRIVER_VERSION_SIZE];

// ---- Filter module ---------------------------------------------------------------------------
enum FilterState : ULONG {
    FILTER_STATE_PAUSING = 2,
    FILTER_STATE_PAUSED = 3,
    FILTER_STATE_RUNNING = 4,
};

// One per filter module, allocated by FilterAttach as one block followed by the characters of
// its three names; freed by FilterDetach.
struct FilterAdapter {
    NDIS_HANDLE NdisFilterHandle;        // set at attach, constant afterwards
    NDIS_STRING FilterModuleName;        // copies of the attach parameters' names; only detach
                                         // reads them, for the size of the block to free
    NDIS_STRING MiniportFriendlyName;
    NDIS_STRING MiniportName;
    KSPIN_LOCK Lock;                     // guards PendingOidRequest and the pausing transition
    KIRQL LockIrql;                      // IRQL saved by the holder of Lock
    FilterState State;                   // written by attach, pause and restart only
    _Guarded_by_(Lock) PNDIS_OID_REQUEST PendingOidRequest;   // the clone passed down
    NDIS_HANDLE NetBufferListPool;       // the driver's own sends; freed by detach
    // Held by the receive handler for its whole work and by each own send from its hand-over to
    // NDIS until its completion; run down by attach and FilterPause, initialised again by
    // FilterRestart, so that nothing goes up or down once the module is paused and no own send
    // is still out.
    EX_RUNDOWN_REF DataPathRundown;
    UCHAR MacAddress[6];                 // constant after attach
    _Guarded_by_(DriverGlobals.AdapterTableLock) StreamPort* StreamPorts[MAX_STREAM_PORTS];
    ULONG AdapterIndex;                  // slot in AdapterTable, constant after attach
    _Guarded_by_(DriverGlobals.AdapterTableLock) BOOLEAN Detaching;   // no port may be bound any more
};


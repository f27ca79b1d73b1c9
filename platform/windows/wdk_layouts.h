// The WDK's x64 layouts of the records the Windows binding declares: sizes and member offsets,
// as lists that a translation unit expands with its own SIZE(type, bytes) and
// OFFSET(type, member, bytes). The binding asserts its records against them; the kernel build
// also asserts mingw-w64's ddk records against the first list (platform/windows/ddk_crosscheck.c).
#pragma once

// Kernel records whose layout mingw-w64's ddk headers share with the WDK.
#define WDK_WDM_LAYOUTS(SIZE, OFFSET)                                   \
    SIZE(LARGE_INTEGER, 8)                                              \
    SIZE(GUID, 16)                                                      \
    SIZE(UNICODE_STRING, 16)                                            \
    OFFSET(UNICODE_STRING, Buffer, 8)                                   \
    SIZE(LIST_ENTRY, 16)                                                \
    OFFSET(LIST_ENTRY, Blink, 8)                                        \
    SIZE(SLIST_ENTRY, 16)                                               \
    SIZE(SLIST_HEADER, 16)                                              \
    SIZE(GENERAL_LOOKASIDE, 0x80)                                       \
    OFFSET(GENERAL_LOOKASIDE, Depth, 0x10)                              \
    OFFSET(GENERAL_LOOKASIDE, TotalAllocates, 0x14)                     \
    OFFSET(GENERAL_LOOKASIDE, AllocateMisses, 0x18)                     \
    OFFSET(GENERAL_LOOKASIDE, TotalFrees, 0x1c)                         \
    OFFSET(GENERAL_LOOKASIDE, FreeMisses, 0x20)                         \
    OFFSET(GENERAL_LOOKASIDE, Type, 0x24)                               \
    OFFSET(GENERAL_LOOKASIDE, Tag, 0x28)                                \
    OFFSET(GENERAL_LOOKASIDE, Size, 0x2c)                               \
    OFFSET(GENERAL_LOOKASIDE, Allocate, 0x30)                           \
    OFFSET(GENERAL_LOOKASIDE, Free, 0x38)                               \
    OFFSET(GENERAL_LOOKASIDE, ListEntry, 0x40)                          \
    OFFSET(GENERAL_LOOKASIDE, Future, 0x58)                             \
    SIZE(NPAGED_LOOKASIDE_LIST, 0x80)                                   \
    SIZE(EX_RUNDOWN_REF, 8)                                             \
    SIZE(KEVENT, 0x18)                                                  \
    SIZE(XSTATE_SAVE, 0x38)                                             \
    OFFSET(XSTATE_SAVE, Level, 0x10)                                    \
    OFFSET(XSTATE_SAVE, XStateContext, 0x18)                            \
    SIZE(MDL, 0x30)                                                     \
    OFFSET(MDL, Size, 0x08)                                             \
    OFFSET(MDL, MdlFlags, 0x0a)                                         \
    OFFSET(MDL, Process, 0x10)                                          \
    OFFSET(MDL, MappedSystemVa, 0x18)                                   \
    OFFSET(MDL, StartVa, 0x20)                                          \
    OFFSET(MDL, ByteCount, 0x28)                                        \
    OFFSET(MDL, ByteOffset, 0x2c)                                       \
    SIZE(VPB, 0x60)                                                     \
    OFFSET(VPB, DeviceObject, 0x08)                                     \
    OFFSET(VPB, RealDevice, 0x10)                                       \
    OFFSET(VPB, VolumeLabel, 0x20)                                      \
    OFFSET(DEVICE_OBJECT, DriverObject, 0x08)                           \
    OFFSET(DEVICE_OBJECT, NextDevice, 0x10)                             \
    OFFSET(DEVICE_OBJECT, AttachedDevice, 0x18)                         \
    OFFSET(DEVICE_OBJECT, Flags, 0x30)                                  \
    OFFSET(DEVICE_OBJECT, Vpb, 0x38)                                    \
    OFFSET(DEVICE_OBJECT, DeviceExtension, 0x40)                        \
    OFFSET(DEVICE_OBJECT, DeviceType, 0x48)                             \
    OFFSET(DEVICE_OBJECT, Queue, 0x50)                                  \
    OFFSET(DEVICE_OBJECT, AlignmentRequirement, 0x98)                   \
    OFFSET(DEVICE_OBJECT, DeviceQueue, 0xa0)                            \
    OFFSET(DEVICE_OBJECT, Dpc, 0xc8)                                    \
    OFFSET(DEVICE_OBJECT, ActiveThreadCount, 0x108)                     \
    OFFSET(DEVICE_OBJECT, SecurityDescriptor, 0x110)                    \
    OFFSET(DEVICE_OBJECT, DeviceLock, 0x118)                            \
    OFFSET(DEVICE_OBJECT, SectorSize, 0x130)                            \
    OFFSET(DEVICE_OBJECT, DeviceObjectExtension, 0x138)                 \
    OFFSET(DEVICE_OBJECT, Reserved, 0x140)                              \
    SIZE(DRIVER_OBJECT, 0x150)                                          \
    OFFSET(DRIVER_OBJECT, DeviceObject, 0x08)                           \
    OFFSET(DRIVER_OBJECT, DriverExtension, 0x30)                        \
    OFFSET(DRIVER_OBJECT, DriverName, 0x38)                             \
    OFFSET(DRIVER_OBJECT, DriverInit, 0x58)                             \
    OFFSET(DRIVER_OBJECT, DriverUnload, 0x68)                           \
    OFFSET(DRIVER_OBJECT, MajorFunction, 0x70)                          \
    SIZE(FILE_OBJECT, 0xd8)                                             \
    OFFSET(FILE_OBJECT, DeviceObject, 0x08)                             \
    OFFSET(FILE_OBJECT, FsContext, 0x18)                                \
    OFFSET(FILE_OBJECT, FsContext2, 0x20)                               \
    OFFSET(FILE_OBJECT, Flags, 0x50)                                    \
    OFFSET(FILE_OBJECT, FileName, 0x58)                                 \
    OFFSET(FILE_OBJECT, Lock, 0x80)                                     \
    OFFSET(FILE_OBJECT, IrpList, 0xc0)                                  \
    OFFSET(FILE_OBJECT, FileObjectExtension, 0xd0)                      \
    SIZE(IO_STATUS_BLOCK, 16)                                           \
    OFFSET(IO_STATUS_BLOCK, Information, 8)                             \
    SIZE(IO_STACK_LOCATION, 0x48)                                       \
    OFFSET(IO_STACK_LOCATION, Control, 0x03)                            \
    OFFSET(IO_STACK_LOCATION, Parameters, 0x08)                         \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 0x10) \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 0x18)     \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 0x20)  \
    OFFSET(IO_STACK_LOCATION, DeviceObject, 0x28)                       \
    OFFSET(IO_STACK_LOCATION, FileObject, 0x30)                         \
    OFFSET(IO_STACK_LOCATION, CompletionRoutine, 0x38)                  \
    OFFSET(IO_STACK_LOCATION, Context, 0x40)                            \
    SIZE(IRP, 0xd0)                                                     \
    OFFSET(IRP, MdlAddress, 0x08)                                       \
    OFFSET(IRP, Flags, 0x10)                                            \
    OFFSET(IRP, AssociatedIrp.SystemBuffer, 0x18)                       \
    OFFSET(IRP, ThreadListEntry, 0x20)                                  \
    OFFSET(IRP, IoStatus, 0x30)                                         \
    OFFSET(IRP, RequestorMode, 0x40)                                    \
    OFFSET(IRP, PendingReturned, 0x41)                                  \
    OFFSET(IRP, Cancel, 0x44)                                           \
    OFFSET(IRP, CancelIrql, 0x45)                                       \
    OFFSET(IRP, CancelRoutine, 0x68)                                    \
    OFFSET(IRP, UserBuffer, 0x70)                                       \
    OFFSET(IRP, Tail.Overlay.DriverContext, 0x78)                       \
    OFFSET(IRP, Tail.Overlay.Thread, 0x98)                              \
    OFFSET(IRP, Tail.Overlay.ListEntry, 0xa8)                           \
    OFFSET(IRP, Tail.Overlay.CurrentStackLocation, 0xb8)                \
    OFFSET(IRP, Tail.Overlay.OriginalFileObject, 0xc0)                  \
    SIZE(IO_CSQ, 0x40)                                                  \
    OFFSET(IO_CSQ, CsqInsertIrp, 0x08)                                  \
    OFFSET(IO_CSQ, CsqRemoveIrp, 0x10)                                  \
    OFFSET(IO_CSQ, CsqPeekNextIrp, 0x18)                                \
    OFFSET(IO_CSQ, CsqAcquireLock, 0x20)                                \
    OFFSET(IO_CSQ, CsqReleaseLock, 0x28)                                \
    OFFSET(IO_CSQ, CsqCompleteCanceledIrp, 0x30)                        \
    OFFSET(IO_CSQ, ReservePointer, 0x38)                                \
    SIZE(IO_CSQ_IRP_CONTEXT, 0x18)                                      \
    OFFSET(IO_CSQ_IRP_CONTEXT, Irp, 0x08)                               \
    OFFSET(IO_CSQ_IRP_CONTEXT, Csq, 0x10)                               \
    SIZE(IO_ERROR_LOG_PACKET, 0x30)                                     \
    OFFSET(IO_ERROR_LOG_PACKET, ErrorCode, 0x0c)                        \
    OFFSET(IO_ERROR_LOG_PACKET, DeviceOffset, 0x20)                     \
    OFFSET(IO_ERROR_LOG_PACKET, DumpData, 0x28)                         \
    SIZE(OBJECT_NAME_INFORMATION, 16)                                   \
    SIZE(TARGET_DEVICE_CUSTOM_NOTIFICATION, 0x28)                       \
    OFFSET(TARGET_DEVICE_CUSTOM_NOTIFICATION, Event, 0x04)              \
    OFFSET(TARGET_DEVICE_CUSTOM_NOTIFICATION, FileObject, 0x18)         \
    OFFSET(TARGET_DEVICE_CUSTOM_NOTIFICATION, NameBufferOffset, 0x20)   \
    OFFSET(TARGET_DEVICE_CUSTOM_NOTIFICATION, CustomDataBuffer, 0x24)

// Kernel records where mingw-w64's ddk headers differ from the WDK: the WDK aligns
// DEVICE_OBJECT to MEMORY_ALLOCATION_ALIGNMENT (16), which rounds its 0x148 bytes up.
#define WDK_WDM_BINDING_LAYOUTS(SIZE, OFFSET)                           \
    SIZE(DEVICE_OBJECT, 0x150)

// NDIS 6.20 records, which mingw-w64 does not ship.
#define WDK_NDIS_LAYOUTS(SIZE, OFFSET)                                  \
    SIZE(NDIS_OBJECT_HEADER, 4)                                         \
    SIZE(NET_BUFFER, 0xb0)                                              \
    OFFSET(NET_BUFFER, NetBufferHeader.NetBufferData.CurrentMdl, 0x08)  \
    OFFSET(NET_BUFFER, NetBufferHeader.NetBufferData.CurrentMdlOffset, 0x10) \
    OFFSET(NET_BUFFER, NetBufferHeader.NetBufferData.DataLength, 0x18)  \
    OFFSET(NET_BUFFER, NetBufferHeader.NetBufferData.MdlChain, 0x20)    \
    OFFSET(NET_BUFFER, NetBufferHeader.NetBufferData.DataOffset, 0x28)  \
    OFFSET(NET_BUFFER, ChecksumBias, 0x30)                              \
    OFFSET(NET_BUFFER, NdisPoolHandle, 0x38)                            \
    OFFSET(NET_BUFFER, NdisReserved, 0x40)                              \
    OFFSET(NET_BUFFER, ProtocolReserved, 0x50)                          \
    OFFSET(NET_BUFFER, MiniportReserved, 0x80)                          \
    OFFSET(NET_BUFFER, DataPhysicalAddress, 0xa0)                       \
    OFFSET(NET_BUFFER, SharedMemoryInfo, 0xa8)                          \
    OFFSET(NET_BUFFER_LIST, NetBufferListHeader.NetBufferListData.FirstNetBuffer, 0x08) \
    OFFSET(NET_BUFFER_LIST, Context, 0x10)                              \
    OFFSET(NET_BUFFER_LIST, ParentNetBufferList, 0x18)                  \
    OFFSET(NET_BUFFER_LIST, NdisPoolHandle, 0x20)                       \
    OFFSET(NET_BUFFER_LIST, NdisReserved, 0x30)                         \
    OFFSET(NET_BUFFER_LIST, ProtocolReserved, 0x40)                     \
    OFFSET(NET_BUFFER_LIST, MiniportReserved, 0x60)                     \
    OFFSET(NET_BUFFER_LIST, Scratch, 0x70)                              \
    OFFSET(NET_BUFFER_LIST, SourceHandle, 0x78)                         \
    OFFSET(NET_BUFFER_LIST, NblFlags, 0x80)                             \
    OFFSET(NET_BUFFER_LIST, ChildRefCount, 0x84)                        \
    OFFSET(NET_BUFFER_LIST, Flags, 0x88)                                \
    OFFSET(NET_BUFFER_LIST, Status, 0x8c)                               \
    OFFSET(NET_BUFFER_LIST, NetBufferListInfo, 0x90)                    \
    SIZE(NET_BUFFER_LIST_POOL_PARAMETERS, 16)                           \
    OFFSET(NET_BUFFER_LIST_POOL_PARAMETERS, ContextSize, 6)             \
    OFFSET(NET_BUFFER_LIST_POOL_PARAMETERS, DataSize, 12)               \
    SIZE(LOCK_STATE_EX, 3)                                              \
    SIZE(NDIS_OID_REQUEST, 240)                                         \
    OFFSET(NDIS_OID_REQUEST, RequestId, 16)                             \
    OFFSET(NDIS_OID_REQUEST, RequestHandle, 24)                         \
    OFFSET(NDIS_OID_REQUEST, DATA, 32)                                  \
    OFFSET(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.InformationBuffer, 40)        \
    OFFSET(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.InformationBufferLength, 48)  \
    OFFSET(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.BytesNeeded, 56)    \
    OFFSET(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.MethodId, 56)      \
    OFFSET(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesNeeded, 68)   \
    OFFSET(NDIS_OID_REQUEST, NdisReserved, 72)                          \
    OFFSET(NDIS_OID_REQUEST, SupportedRevision, 232)                    \
    SIZE(NDIS_STATUS_INDICATION, 112)                                   \
    OFFSET(NDIS_STATUS_INDICATION, StatusCode, 20)                      \
    OFFSET(NDIS_STATUS_INDICATION, DestinationHandle, 32)               \
    OFFSET(NDIS_STATUS_INDICATION, StatusBufferSize, 56)                \
    OFFSET(NDIS_STATUS_INDICATION, Guid, 60)                            \
    OFFSET(NDIS_STATUS_INDICATION, NdisReserved, 80)                    \
    SIZE(NET_DEVICE_PNP_EVENT, 48)                                      \
    OFFSET(NET_DEVICE_PNP_EVENT, InformationBuffer, 16)                 \
    OFFSET(NET_DEVICE_PNP_EVENT, NdisReserved, 28)                      \
    SIZE(NET_PNP_EVENT, 152)                                            \
    SIZE(NET_PNP_EVENT_NOTIFICATION, 160)                               \
    OFFSET(NET_PNP_EVENT_NOTIFICATION, NetPnPEvent, 8)                  \
    SIZE(NDIS_FILTER_ATTACH_PARAMETERS, 200)                            \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, NetLuid, 8)                   \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, FilterModuleGuidName, 16)     \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportIfIndex, 24)      \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportInstanceName, 32) \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportName, 40)         \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, XmitLinkSpeed, 56)            \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, MiniportMediaType, 72)        \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, MiniportMediaSpecificAttributes, 80) \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, MacAddressLength, 96)         \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, CurrentMacAddress, 98)        \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportNetLuid, 136)     \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, LowerIfNetLuid, 152)          \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, Flags, 160)                   \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, HDSplitCurrentConfig, 168)    \
    OFFSET(NDIS_FILTER_ATTACH_PARAMETERS, NicSwitchCapabilities, 192)   \
    SIZE(NDIS_RESTART_ATTRIBUTES, 32)                                   \
    OFFSET(NDIS_RESTART_ATTRIBUTES, Oid, 8)                             \
    OFFSET(NDIS_RESTART_ATTRIBUTES, Data, 16)                           \
    OFFSET(NDIS_RESTART_GENERAL_ATTRIBUTES, MaxXmitLinkSpeed, 8)        \
    OFFSET(NDIS_RESTART_GENERAL_ATTRIBUTES, LookaheadSize, 24)          \
    OFFSET(NDIS_RESTART_GENERAL_ATTRIBUTES, RecvScaleCapabilities, 40)  \
    OFFSET(NDIS_RESTART_GENERAL_ATTRIBUTES, SupportedOidList, 72)       \
    OFFSET(NDIS_RESTART_GENERAL_ATTRIBUTES, MaxLookaheadSize, 84)       \
    SIZE(NDIS_FILTER_RESTART_PARAMETERS, 48)                            \
    OFFSET(NDIS_FILTER_RESTART_PARAMETERS, MiniportPhysicalMediaType, 8) \
    OFFSET(NDIS_FILTER_RESTART_PARAMETERS, RestartAttributes, 16)       \
    OFFSET(NDIS_FILTER_RESTART_PARAMETERS, LowerIfNetLuid, 32)          \
    OFFSET(NDIS_FILTER_RESTART_PARAMETERS, Flags, 40)                   \
    SIZE(NDIS_FILTER_PAUSE_PARAMETERS, 12)                              \
    SIZE(NDIS_FILTER_ATTRIBUTES, 8)                                     \
    SIZE(NDIS_FILTER_DRIVER_CHARACTERISTICS, 224)                       \
    OFFSET(NDIS_FILTER_DRIVER_CHARACTERISTICS, Flags, 8)                \
    OFFSET(NDIS_FILTER_DRIVER_CHARACTERISTICS, FriendlyName, 16)        \
    OFFSET(NDIS_FILTER_DRIVER_CHARACTERISTICS, ServiceName, 48)         \
    OFFSET(NDIS_FILTER_DRIVER_CHARACTERISTICS, SetOptionsHandler, 64)   \
    OFFSET(NDIS_FILTER_DRIVER_CHARACTERISTICS, StatusHandler, 192)      \
    OFFSET(NDIS_FILTER_DRIVER_CHARACTERISTICS, DirectOidRequestHandler, 200) \
    SIZE(NDIS_DEVICE_OBJECT_ATTRIBUTES, 56)                             \
    OFFSET(NDIS_DEVICE_OBJECT_ATTRIBUTES, MajorFunctions, 24)           \
    OFFSET(NDIS_DEVICE_OBJECT_ATTRIBUTES, ExtensionSize, 32)            \
    OFFSET(NDIS_DEVICE_OBJECT_ATTRIBUTES, DefaultSDDLString, 40)

#if defined(__cplusplus)
#define WDK_ASSERT_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "WDK x64 size of " #type);
#else
#define WDK_ASSERT_SIZE(type, bytes) _Static_assert(sizeof(type) == (bytes), "WDK x64 size of " #type);
#endif
#if defined(__cplusplus)
#define WDK_ASSERT_OFFSET(type, member, bytes) \
    static_assert(offsetof(type, member) == (bytes), "WDK x64 offset of " #type "." #member);
#else
#define WDK_ASSERT_OFFSET(type, member, bytes) \
    _Static_assert(offsetof(type, member) == (bytes), "WDK x64 offset of " #type "." #member);
#endif

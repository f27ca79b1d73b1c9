// A cancel-safe queue kept as a driver keeps one: a list under a spin lock. Insertion is refused
// with `refuse` when that is a failure; an IRP completed as cancelled is counted in its
// IoStatus.Information, and in `cancelled`, instead of completed.
#pragma once

#include "platform/wdm.h"

struct TestQueue {
    IO_CSQ csq;
    LIST_ENTRY list;
    KSPIN_LOCK lock = 0;
    NTSTATUS refuse = STATUS_SUCCESS;
    volatile LONG cancelled = 0;

    static TestQueue* Of(PIO_CSQ csq) { return CONTAINING_RECORD(csq, TestQueue, csq); }
    TestQueue()
    {
        InitializeListHead(&list);
        IoCsqInitializeEx(&csq, [](PIO_CSQ c, PIRP irp, PVOID) {
            if (Of(c)->refuse == STATUS_SUCCESS) {
                InsertTailList(&Of(c)->list, &irp->Tail.Overlay.ListEntry);
            }
            return Of(c)->refuse;
        }, [](PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); },
        [](PIO_CSQ c, PIRP irp, PVOID) {
            PLIST_ENTRY next = (irp == nullptr ? &Of(c)->list : &irp->Tail.Overlay.ListEntry)->Flink;
            return next == &Of(c)->list ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
        }, [](PIO_CSQ c, PKIRQL irql) { *irql = KeAcquireSpinLockRaiseToDpc(&Of(c)->lock); },
        [](PIO_CSQ c, KIRQL irql) { KeReleaseSpinLock(&Of(c)->lock, irql); }, [](PIO_CSQ c, PIRP irp) {
            irp->IoStatus.Information += 1;
            InterlockedIncrement(&Of(c)->cancelled);
        });
    }
};

// An IRP with its one stack location, never issued: enough for the queue and for host::CancelIrp.
struct TestIrp {
    IRP irp{};
    IO_STACK_LOCATION stack{};
    TestIrp() { irp.Tail.Overlay.CurrentStackLocation = &stack; }
};

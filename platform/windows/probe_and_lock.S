// MmProbeAndLockPagesChecked for the mingw-w64 kernel build: MmProbeAndLockPages inside a
// structured-exception scope, so that the exception it raises for memory that is not valid for
// the access asked comes back as the exception's code instead of unwinding past the driver.
// gcc has no __try; this is the scope table an __except(EXCEPTION_EXECUTE_HANDLER) block
// compiles to, handled by the kernel's own __C_specific_handler.
// NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation)

    .text
    .globl  MmProbeAndLockPagesChecked
    .def    MmProbeAndLockPagesChecked; .scl 2; .type 32; .endef
    .seh_proc MmProbeAndLockPagesChecked
MmProbeAndLockPagesChecked:
    subq    $40, %rsp                   // home space for the callee, stack 16-byte aligned
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long   1                           // one scope
    .rva    .Ltry_begin                 // from the call ...
    .rva    .Ltry_end                   // ... to past its return address
    .long   1                           // EXCEPTION_EXECUTE_HANDLER: take every exception
    .rva    .Lexcept                    // continue here, the exception code in eax
    .text
.Ltry_begin:
    call    *__imp_MmProbeAndLockPages(%rip)
    nop                                 // keeps the return address inside the scope
.Ltry_end:
    xorl    %eax, %eax                  // STATUS_SUCCESS
    addq    $40, %rsp
    ret
.Lexcept:
    addq    $40, %rsp                   // the unwind restored rsp to the body's frame
    ret
    .seh_endproc

// The one call into foreign code.
//
//   DWORD __cdecl ForeignCallWords(FARPROC entry, const DWORD* words, ForeignFault* fault);
//
// Pushes the twenty words as __stdcall parameters (words[0] ends up first, nearest
// the return address), calls entry, and returns its EAX. The callee is trusted with
// nothing about the stack: a __stdcall function of fewer parameters removes fewer
// than 80 bytes, one of none removes nothing, and a __cdecl function removes nothing
// either. The stack pointer is therefore never popped back to its old place; it is
// reloaded from EBP, which every callee of the platform's conventions preserves.
// EBX, ESI and EDI are saved in this frame and reloaded from it, so even a callee
// that disturbs them hands the caller back its own values.
//
// The call runs under a structured exception handler registered in this frame. The
// callee's own handlers lie nearer the top of the chain and see its exceptions
// first; ours is reached only by one that nothing in the callee handles, which would
// otherwise end the process. An x87 exception that the callee unmasked (Delphi and
// C++Builder code does) may still be pending when it returns: the next x87
// instruction that waits raises it, so the thunk waits once while its handler is
// still registered.
//
// The handler (ForeignCallHandler) serves any thunk that builds the same extended
// registration record in its frame:
//
//   record +0  previous record         +4  ForeignCallHandler
//          +8  resume address          +12 EBP to resume with
//          +16 ForeignFault*           +20 caller's x87 control word
//          +24 caller's MXCSR (read and written only when fault->hasSse)
//
// On a fault it fills *fault (code, then 1 for raised), clears the x87 exceptions,
// lets the system unwind the callee's frames, puts back the caller's control word
// and MXCSR (a faulting callee must not leave exceptions unmasked for the host),
// and jumps to the resume address with that EBP and EAX = 0. The resume code takes
// everything else from its frame, as on a normal return.
//
// Frame, from EBP:  +16 fault      +12 words  +8 entry  +4 return address
//                    0 caller's EBP  -4 EBX  -8 ESI  -12 EDI
//                   -16 MXCSR  -20 control word  -24 fault  -28 EBP
//                   -32 resume address  -36 handler  -40 previous record

        .set    RecordResume, 8         // the extended registration record's fields
        .set    RecordEbp, 12
        .set    RecordFault, 16
        .set    RecordControlWord, 20
        .set    RecordMxcsr, 24
        .set    FaultCode, 0            // ForeignFault's fields (vars.h)
        .set    FaultRaised, 4
        .set    FaultHasSse, 8

// The frame and the registration record above, the same in every thunk: from the
// caller's frame pointer to the record registered. The third argument of each
// thunk (16 from EBP) is where the fault is reported.
        .macro  ENTER_FOREIGN_CALL
        pushl   %ebp                    // keep the caller's frame pointer
        movl    %esp, %ebp              // EBP marks this frame for the whole call
        pushl   %ebx                    // save the callee-saved registers ...
        pushl   %esi                    // ... at -4, -8 and -12 from EBP, where
        pushl   %edi                    // ... they are found again after the call
        subl    $8, %esp                // room for MXCSR (-16) and the control word (-20)
        fnstcw  -20(%ebp)               // the caller's x87 control word
        movl    16(%ebp), %eax          // EAX = fault
        cmpl    $0, FaultHasSse(%eax)   // MXCSR exists only with SSE
        je      1f
        stmxcsr -16(%ebp)               // the caller's MXCSR
1:      pushl   %eax                    // the record: fault at -24 ...
        pushl   %ebp                    // ... the EBP to resume with at -28 ...
        pushl   $ForeignCallReturn      // ... the resume address at -32 ...
        pushl   $ForeignCallHandler     // ... the handler at -36 ...
        pushl   %fs:0                   // ... and the thread's previous record at -40
        movl    %esp, %fs:0             // ours is now the first the system asks
        .endm

// Pushes `count` words (the fourth argument, 20 from EBP) of `words` (the second,
// 12 from EBP) as __stdcall parameters, the last first; ESI = words afterwards.
        .macro  PUSH_WORDS
        movl    12(%ebp), %esi          // ESI = words
        movl    20(%ebp), %ecx          // ECX = count (0 for a function of none)
        testl   %ecx, %ecx
        jz      .Lpushed\@
.Lpush\@:
        pushl   -4(%esi,%ecx,4)         // words[ecx-1], the last first
        decl    %ecx
        jnz     .Lpush\@
.Lpushed\@:
        .endm

// EAX = entry `method` (the first argument, 8 from EBP) of the method table of the
// object words[0]: read here, under the handler, so that a pointer that is no
// object faults into it as a faulting callee does.
        .macro  LOAD_METHOD_ENTRY
        movl    (%esi), %eax            // EAX = the object, words[0]
        movl    (%eax), %eax            // its table of methods
        movl    8(%ebp), %ecx           // ECX = method
        movl    (%eax,%ecx,4), %eax     // the method's entry
        .endm

        .text                           // code section
        .globl  _ForeignCallWords       // visible to the C++ side (__cdecl adds the "_")
        .def    _ForeignCallWords; .scl 2; .type 32; .endef  // an external function symbol
        .p2align 4                      // start on a 16-byte boundary
_ForeignCallWords:
        ENTER_FOREIGN_CALL              // frame and record: faults from here on come back
        movl    12(%ebp), %esi          // ESI = words
        movl    $20, %ecx               // twenty words, pushed from the last ...
2:      pushl   -4(%esi,%ecx,4)         // ... words[ecx-1]
        decl    %ecx                    // next lower word
        jnz     2b                      // until words[0] is on top
        movl    8(%ebp), %eax           // EAX = entry (read through EBP: ESP has moved)
        call    *%eax                   // the callee answers in EAX
        fwait                           // a pending x87 exception is raised here, while
                                        // ... the handler is registered (EAX is kept)
ForeignCallReturn:                      // the handler resumes here too, EBP restored
        leal    -40(%ebp), %esp         // ESP back onto the record, whatever the
                                        // callee removed or left behind
        popl    %fs:0                   // the previous record is the first again
        leal    -12(%ebp), %esp         // past the rest of the record, onto EDI
        cld                             // the caller's code expects the direction flag clear
        ffree   %st(0)                  // the x87 register stack must be empty at a
        ffree   %st(1)                  // ... call boundary: a callee returning a
        ffree   %st(2)                  // ... float leaves it in st(0), and one that
        ffree   %st(3)                  // ... faulted may leave anything. Freeing
        ffree   %st(4)                  // ... every register empties the stack and
        ffree   %st(5)                  // ... keeps the control word the callee
        ffree   %st(6)                  // ... chose on a normal return (fninit would
        ffree   %st(7)                  // ... reset it). No exception is pending here
        popl    %edi                    // reload the saved registers from the frame
        popl    %esi                    // the callee-saved registers come back in the
        popl    %ebx                    // ... reverse order of their saving
        popl    %ebp                    // the caller's frame pointer
        ret                             // __cdecl: the caller removes its three arguments

// EXCEPTION_DISPOSITION __cdecl ForeignCallHandler(EXCEPTION_RECORD* record,
//         void* establisherFrame, CONTEXT* context, void* dispatcherContext);
// Called by the system's dispatcher, on whatever stack is left (after a stack
// overflow only a few pages), so it does no more than it must. Every x87
// instruction here is one that does not wait, or comes after fnclex: a pending
// exception must not be raised again inside the handler.
        .p2align 4
ForeignCallHandler:
        cld                             // the code below and RtlUnwind expect it clear
        movl    4(%esp), %eax           // EAX = record
        testl   $6, 4(%eax)             // ExceptionFlags: EH_UNWINDING | EH_EXIT_UNWIND
        jnz     3f                      // an unwind passing through: nothing to do here
        fnclex                          // the x87 exceptions are dealt with: none pending
        movl    8(%esp), %ecx           // ECX = our registration record
        movl    RecordFault(%ecx), %edx // EDX = fault
        movl    (%eax), %eax            // the exception code ...
        movl    %eax, FaultCode(%edx)   // ... for the caller, before the record is reused
        movl    $1, FaultRaised(%edx)   // fault->raised
        pushl   $0                      // RtlUnwind(record of ours, resume point,
        pushl   8(%esp)                 // ... the exception record, 0): runs the
        pushl   RecordResume(%ecx)      // ... unwind handlers of the callee's frames
        pushl   %ecx                    // ... and leaves ours first in the chain;
        call    *__imp__RtlUnwind@16    // ... __stdcall, it removes its arguments
        movl    8(%esp), %ecx           // our record again (ECX is not kept across calls)
        fnclex                          // the callee's clean-up may have left one pending
        fldcw   RecordControlWord(%ecx) // the caller's control word ...
        movl    RecordFault(%ecx), %edx
        cmpl    $0, FaultHasSse(%edx)
        je      4f
        ldmxcsr RecordMxcsr(%ecx)       // ... and MXCSR, masks and flags as they were
4:      movl    RecordEbp(%ecx), %ebp   // the thunk's frame
        xorl    %eax, %eax              // the answer is 0
        jmp     *RecordResume(%ecx)     // leave the dispatcher's stack for good
3:      movl    $1, %eax                // ExceptionContinueSearch
        ret

// void __cdecl ForeignCallTyped(FARPROC entry, const DWORD* words,
//                               TypedOutcome* outcome, DWORD count);
//
// The typed call: pushes `count` words (words[0] nearest the return address), calls
// entry and reports what came back. Its frame and registration record are
// ForeignCallWords's, field for field (the outcome begins with a ForeignFault), so
// the one handler above serves both and resumes at the one return path,
// ForeignCallReturn, which restores everything from the frame.
//
// TypedOutcome (calls_state.h):  +0 code  +4 raised  +8 hasSse  +12 EAX  +16 EDX
//               +20 ST(0) held a value  +24 ST(0), all 80 bits  +36 ESP at the call
//               +40 bytes the callee removed
        .set    OutcomeEax, 12
        .set    OutcomeEdx, 16
        .set    OutcomeSt0Loaded, 20
        .set    OutcomeSt0, 24
        .set    OutcomeEspBefore, 36
        .set    OutcomeRemoved, 40

        .globl  _ForeignCallTyped
        .def    _ForeignCallTyped; .scl 2; .type 32; .endef
        .p2align 4
_ForeignCallTyped:
        ENTER_FOREIGN_CALL              // the frame and record of ForeignCallWords
        PUSH_WORDS
        movl    8(%ebp), %eax           // EAX = entry
TypedCallEntry:                         // the words pushed, EAX = the callee's entry
        movl    16(%ebp), %ecx          // ECX = outcome
        movl    %esp, OutcomeEspBefore(%ecx)  // the stack pointer the callee starts from
        call    *%eax
        fwait                           // a pending x87 exception faults here, handled
        movl    16(%ebp), %ecx          // ECX = outcome (EBP is kept by every callee)
        movl    %eax, OutcomeEax(%ecx)  // EAX and EDX as they came back
        movl    %edx, OutcomeEdx(%ecx)
        movl    %esp, %eax              // what the callee took off the stack:
        subl    OutcomeEspBefore(%ecx), %eax  // ... ESP now less ESP at the call
        movl    %eax, OutcomeRemoved(%ecx)
        fxam                            // ST(0) empty reads C3=1 C2=0 C0=1
        fnstsw  %ax
        andw    $0x4500, %ax
        cmpw    $0x4100, %ax
        je      ForeignCallReturn       // nothing there
        fstpt   OutcomeSt0(%ecx)        // the value as it is: an 80-bit store raises
                                        // ... nothing, where rounding to a double
                                        // ... could overflow or be inexact under the
                                        // ... callee's control word, and leave the
                                        // ... exception pending past our handler
        movl    $1, OutcomeSt0Loaded(%ecx)
        jmp     ForeignCallReturn       // the shared way back: ESP from EBP,
                                        // unregister, empty x87 stack, registers

// void __cdecl ForeignCallTypedMethod(DWORD method, const DWORD* words,
//                                     TypedOutcome* outcome, DWORD count);
//
// The typed call of an object's method: words[0] is the object, `method` the index
// of the entry in its table of methods, read under the handler (a pointer that is
// no object faults into it, as a faulting callee does). Everything else is
// ForeignCallTyped's, from the call on. count is at least 1 (the object).
        .globl  _ForeignCallTypedMethod
        .def    _ForeignCallTypedMethod; .scl 2; .type 32; .endef
        .p2align 4
_ForeignCallTypedMethod:
        ENTER_FOREIGN_CALL              // the frame and record of ForeignCallWords
        PUSH_WORDS
        LOAD_METHOD_ENTRY
        jmp     TypedCallEntry          // the typed call's own call and report

// DWORD __cdecl ForeignCallMethod(DWORD method, const DWORD* words,
//                                 ForeignFault* fault, DWORD count);
//
// A call of an object's method whose answer is in EAX alone (an HRESULT): words[0]
// is the object, `method` the index of the entry in its table of methods, read
// under the handler, so that a pointer that is no object faults into the handler
// too. The typed call's frame, record and return path, without its look at ST(0),
// which costs more than such a call itself. A fault answers 0 with *fault filled,
// as the others do. count is at least 1 (the object).
        .globl  _ForeignCallMethod
        .def    _ForeignCallMethod; .scl 2; .type 32; .endef
        .p2align 4
_ForeignCallMethod:
        ENTER_FOREIGN_CALL              // the frame and record of ForeignCallWords
        PUSH_WORDS
        LOAD_METHOD_ENTRY
        call    *%eax                   // the answer comes back in EAX
        fwait                           // a pending x87 exception faults here, handled
        jmp     ForeignCallReturn       // the shared way back keeps EAX

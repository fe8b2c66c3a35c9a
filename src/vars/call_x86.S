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
// otherwise end the process. It fills *fault (code, then 1 for raised), lets the
// system unwind the callee's frames, and resumes at the common return below with
// EAX = 0. The stack and the registers come back as on a normal return, because the
// return path takes everything from this frame.
//
// Frame, from EBP:  +16 fault      +12 words  +8 entry  +4 return address
//                    0 caller's EBP  -4 EBX  -8 ESI  -12 EDI
//                   -16 handler  -20 previous record   (the registration record)

        .text                           // code section
        .globl  _ForeignCallWords       // visible to the C++ side (__cdecl adds the "_")
        .def    _ForeignCallWords; .scl 2; .type 32; .endef  // an external function symbol
        .p2align 4                      // start on a 16-byte boundary
_ForeignCallWords:
        pushl   %ebp                    // keep the caller's frame pointer
        movl    %esp, %ebp              // EBP marks this frame for the whole call
        pushl   %ebx                    // save the callee-saved registers ...
        pushl   %esi                    // ... at -4, -8 and -12 from EBP, where
        pushl   %edi                    // ... they are found again after the call
        pushl   $ForeignCallHandler     // the registration record: handler at -16 ...
        pushl   %fs:0                   // ... and the thread's previous record at -20
        movl    %esp, %fs:0             // ours is now the first the system asks
        movl    12(%ebp), %esi          // ESI = words
        movl    $20, %ecx               // twenty words, pushed from the last ...
1:      pushl   -4(%esi,%ecx,4)         // ... words[ecx-1]
        decl    %ecx                    // next lower word
        jnz     1b                      // until words[0] is on top
        movl    8(%ebp), %eax           // EAX = entry (read through EBP: ESP has moved)
        call    *%eax                   // the callee answers in EAX
ForeignCallReturn:                      // the handler resumes here too, EBP restored
        leal    -20(%ebp), %esp         // ESP back onto the record, whatever the
                                        // callee removed or left behind
        popl    %fs:0                   // the previous record is the first again
        addl    $4, %esp                // past the handler field
        cld                             // the caller's code expects the direction flag clear
        ffree   %st(0)                  // the x87 register stack must be empty at a
        ffree   %st(1)                  // ... call boundary: a callee returning a
        ffree   %st(2)                  // ... float leaves it in st(0), and one that
        ffree   %st(3)                  // ... faulted may leave anything. Freeing
        ffree   %st(4)                  // ... every register empties the stack and
        ffree   %st(5)                  // ... keeps the control word the callee
        ffree   %st(6)                  // ... chose (fninit would reset it); the
        ffree   %st(7)                  // ... SSE state is not touched at all
        popl    %edi                    // reload the saved registers from the frame
        popl    %esi                    // the callee-saved registers come back in the
        popl    %ebx                    // ... reverse order of their saving
        popl    %ebp                    // the caller's frame pointer
        ret                             // __cdecl: the caller removes its three arguments

// EXCEPTION_DISPOSITION __cdecl ForeignCallHandler(EXCEPTION_RECORD* record,
//         void* establisherFrame, CONTEXT* context, void* dispatcherContext);
// Called by the system's dispatcher, on whatever stack is left (after a stack
// overflow only a few pages), so it does no more than it must.
        .p2align 4
ForeignCallHandler:
        cld                             // the code below and RtlUnwind expect it clear
        movl    4(%esp), %eax           // EAX = record
        testl   $6, 4(%eax)             // ExceptionFlags: EH_UNWINDING | EH_EXIT_UNWIND
        jnz     2f                      // an unwind passing through: nothing to do here
        movl    8(%esp), %ecx           // ECX = our registration record
        movl    36(%ecx), %edx          // EDX = fault (record + 20 = EBP, then +16)
        movl    (%eax), %eax            // the exception code ...
        movl    %eax, (%edx)            // ... for the caller, before the record is reused
        movl    $1, 4(%edx)             // fault->raised
        pushl   $0                      // RtlUnwind(record of ours, resume point,
        pushl   8(%esp)                 // ... the exception record, 0): runs the
        pushl   $ForeignCallReturn      // ... unwind handlers of the callee's frames
        pushl   %ecx                    // ... and leaves ours first in the chain;
        call    *__imp__RtlUnwind@16    // ... __stdcall, it removes its arguments
        movl    8(%esp), %ebp           // our record again (ECX is not kept across
        addl    $20, %ebp               // ... calls); 20 above it is the thunk's EBP
        xorl    %eax, %eax              // the answer is 0
        jmp     ForeignCallReturn       // leave the dispatcher's stack for good
2:      movl    $1, %eax                // ExceptionContinueSearch
        ret

// void __cdecl ForeignCallTyped(FARPROC entry, const DWORD* words,
//                               TypedOutcome* outcome, DWORD count);
//
// The typed call: pushes `count` words (words[0] nearest the return address), calls
// entry and reports what came back. Its frame is ForeignCallWords's, word for word
// (outcome at +16 where the fault pointer is, its first two fields being a
// ForeignFault), so the one handler above serves both and resumes at the one return
// path, ForeignCallReturn, which restores everything from the frame.
//
// TypedOutcome:  +0 code  +4 raised  +8 EAX  +12 EDX  +16 ST(0) as a double
//               +24 ST(0) held a value  +28 ESP at the call  +32 bytes removed
        .globl  _ForeignCallTyped
        .def    _ForeignCallTyped; .scl 2; .type 32; .endef
        .p2align 4
_ForeignCallTyped:
        pushl   %ebp                    // the same frame as ForeignCallWords:
        movl    %esp, %ebp              // ... EBP, then EBX, ESI, EDI at -4..-12,
        pushl   %ebx                    // ... then the registration record at -20
        pushl   %esi
        pushl   %edi
        pushl   $ForeignCallHandler     // the shared handler
        pushl   %fs:0
        movl    %esp, %fs:0             // registered: faults from here on come back
        movl    12(%ebp), %esi          // ESI = words
        movl    20(%ebp), %ecx          // ECX = count (0 for a function of none)
        testl   %ecx, %ecx
        jz      4f
3:      pushl   -4(%esi,%ecx,4)         // words[ecx-1], the last first
        decl    %ecx
        jnz     3b
4:      movl    16(%ebp), %eax          // EAX = outcome
        movl    %esp, 28(%eax)          // the stack pointer the callee starts from
        movl    8(%ebp), %eax           // EAX = entry
        call    *%eax
        movl    16(%ebp), %ecx          // ECX = outcome (EBP is kept by every callee)
        movl    %eax, 8(%ecx)           // EAX and EDX as they came back
        movl    %edx, 12(%ecx)
        movl    %esp, %eax              // what the callee took off the stack:
        subl    28(%ecx), %eax          // ... ESP now less ESP at the call
        movl    %eax, 32(%ecx)
        fxam                            // ST(0) empty is C3=1 C2=0 C0=1; a pending
        fnstsw  %ax                     // ... x87 exception is raised here, with the
        andw    $0x4500, %ax            // ... handler still registered
        cmpw    $0x4100, %ax
        je      ForeignCallReturn       // nothing there
        fstpl   16(%ecx)                // the value, rounded to a double
        movl    $1, 24(%ecx)
        jmp     ForeignCallReturn       // the shared way back: ESP from EBP,
                                        // unregister, empty x87 stack, registers

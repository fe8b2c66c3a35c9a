// The callbacks' entry points: 32 fixed stubs in the code section, each loading its
// index and jumping to one dispatcher. Nothing here is written at run time, so the
// address of callback c is the same for as long as the library is loaded.
//
//   stub c:      movl $c-1, %eax ; jmp CallbackDispatch
//
// The dispatcher is entered with the foreign caller's frame untouched: the return
// address on top and the arguments above it. It
//   - saves EBX, ESI, EDI and EBP (the callee-saved registers);
//   - saves the caller's x87 environment and loads the control word of a fresh
//     thread (every exception masked, double precision) for the C++ side, whatever
//     the caller runs with: an unmasked inexact result would fault in the formatting
//     of a real, a lowered precision would change its digits;
//   - realigns the stack to 16 bytes and calls
//       void __cdecl CallbackEnter(int index, const DWORD* args, CallbackAnswer* answer);
//     which keeps MXCSR itself;
//   - puts the caller's x87 environment back, loads a float or double answer onto
//     ST(0), and returns EAX:EDX through the `ret $n` that removes exactly
//     answer->removeBytes of arguments (the count the prototype declares for
//     __stdcall, 0 for __cdecl).
//
// Frame, from EBP:  +8 the caller's arguments  +4 return address  0 caller's EBP
//                   -4 EBX  -8 ESI  -12 EDI
//                   -36 CallbackAnswer (24 bytes: eax, edx, real, isReal, removeBytes)
//                   -64 the caller's x87 environment (28 bytes)

        .set    AnswerEax, -36
        .set    AnswerEdx, -32
        .set    AnswerReal, -28
        .set    AnswerIsReal, -20
        .set    AnswerRemove, -16
        .set    SavedEnvironment, -64
        .set    MaxRemove, 224          // the most a prototype declares: 56 words

        .text
        .macro  CALLBACK_STUB index
        .p2align 4
CallbackStub\index:
        movl    $\index, %eax           // which callback
        jmp     CallbackDispatch        // one dispatcher for all
        .endm

        .irp    n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
        CALLBACK_STUB \n
        .endr

        .p2align 4
CallbackDispatch:
        pushl   %ebp                    // the caller's frame pointer
        movl    %esp, %ebp              // EBP marks this frame
        pushl   %ebx                    // the callee-saved registers, at -4 ...
        pushl   %esi                    // ... -8 ...
        pushl   %edi                    // ... and -12
        subl    $52, %esp               // the answer (-36) and the environment (-64)
        fnstenv SavedEnvironment(%ebp)  // the caller's x87 state
        fldcw   CallbackControlWord     // every x87 exception masked, double precision
        andl    $-16, %esp              // realign: the caller may keep only 4 bytes
        subl    $4, %esp                // three arguments then leave ESP 16-aligned
        leal    AnswerEax(%ebp), %ecx
        pushl   %ecx                    // answer
        leal    8(%ebp), %ecx
        pushl   %ecx                    // args: the first argument's word
        pushl   %eax                    // index
        cld                             // the C++ side expects the direction flag clear
        call    _CallbackEnter
        fldenv  SavedEnvironment(%ebp)  // the caller's control word, flags and empty stack
        cmpl    $0, AnswerIsReal(%ebp)
        je      1f
        fldl    AnswerReal(%ebp)        // a real answer travels on ST(0)
1:      movl    AnswerRemove(%ebp), %ecx   // bytes of arguments to remove: 0 to 224, by 4
        cmpl    $MaxRemove, %ecx
        jbe     2f
        xorl    %ecx, %ecx              // never past the table (the C++ side keeps to it)
2:      leal    CallbackReturns(%ecx), %ecx  // the return that removes them
        movl    AnswerEax(%ebp), %eax
        movl    AnswerEdx(%ebp), %edx
        movl    -4(%ebp), %ebx
        movl    -8(%ebp), %esi
        movl    -12(%ebp), %edi
        movl    %ebp, %esp
        popl    %ebp                    // the caller's frame pointer
        jmp     *%ecx

// 57 returns, 4 bytes apart: the one at byte n removes n bytes of arguments. A
// return with a constant count writes nothing, so a caller that passed fewer
// arguments than declared finds its stack pointer moved, never its memory changed.
        .p2align 4
CallbackReturns:
        .set    removed, 0
        .rept   MaxRemove / 4 + 1
        .p2align 2
        ret     $removed
        .set    removed, removed + 4
        .endr

// The entry points in order, for the C++ side.
        .section .rdata,"dr"
CallbackControlWord:
        .word   0x027F
        .p2align 2
        .globl  _CallbackEntries
_CallbackEntries:
        .irp    n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
        .long   CallbackStub\n
        .endr

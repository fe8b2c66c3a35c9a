// The one call into foreign code.
//
//   DWORD __cdecl ForeignCallWords(FARPROC entry, const DWORD* words);
//
// Pushes the twenty words as __stdcall parameters (words[0] ends up first, nearest
// the return address), calls entry, and returns its EAX. The callee is trusted with
// nothing about the stack: a __stdcall function of fewer parameters removes fewer
// than 80 bytes, one of none removes nothing, and a __cdecl function removes nothing
// either. The stack pointer is therefore never popped back to its old place; it is
// reloaded from EBP, which every callee of the platform's conventions preserves.
// EBX, ESI and EDI are saved in this frame and reloaded from it, so even a callee
// that disturbs them hands the caller back its own values.

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
        movl    12(%ebp), %esi          // ESI = words
        movl    $20, %ecx               // twenty words, pushed from the last ...
1:      pushl   -4(%esi,%ecx,4)         // ... words[ecx-1]
        decl    %ecx                    // next lower word
        jnz     1b                      // until words[0] is on top
        movl    8(%ebp), %eax           // EAX = entry (read through EBP: ESP has moved)
        call    *%eax                   // the callee answers in EAX
        leal    -12(%ebp), %esp         // ESP back onto the saved registers, whatever
                                        // the callee removed or left behind
        cld                             // the caller's code expects the direction flag clear
        popl    %edi                    // reload the saved registers from the frame
        popl    %esi                    // the callee-saved registers come back in the
        popl    %ebx                    // ... reverse order of their saving
        popl    %ebp                    // the caller's frame pointer
        ret                             // __cdecl: the caller removes its two arguments

/* Process entry. The kernel leaves argc at the stack pointer and the argument
   vector right above it; nothing runs before main and nothing after it but _exit. */
    .section .text.start, "ax", @progbits
    .globl _start
    .type _start, @function
_start:
    xorl    %ebp, %ebp              /* outermost frame for debuggers */
    movl    (%esp), %eax            /* argc */
    leal    4(%esp), %edx           /* argv */
    andl    $-16, %esp
    subl    $8, %esp                /* esp is a multiple of 16 at the call */
    pushl   %edx
    pushl   %eax
    call    main
    movl    %eax, (%esp)
    call    _exit
.hang:
    jmp     .hang
    .size _start, . - _start

    .section .note.GNU-stack, "", @progbits

/* setjmp and longjmp. The jmp_buf holds six words: ebx, esi, edi, ebp, the stack pointer
   as setjmp's caller sees it after the return, and the return address. */
    .text
    .globl setjmp
    .type setjmp, @function
setjmp:
    movl    4(%esp), %eax
    movl    %ebx, 0(%eax)
    movl    %esi, 4(%eax)
    movl    %edi, 8(%eax)
    movl    %ebp, 12(%eax)
    leal    4(%esp), %ecx
    movl    %ecx, 16(%eax)
    movl    (%esp), %ecx
    movl    %ecx, 20(%eax)
    xorl    %eax, %eax
    ret
    .size setjmp, . - setjmp

    .globl longjmp
    .type longjmp, @function
longjmp:
    movl    4(%esp), %edx
    movl    8(%esp), %eax
    testl   %eax, %eax
    jnz     1f
    incl    %eax
1:
    movl    0(%edx), %ebx
    movl    4(%edx), %esi
    movl    8(%edx), %edi
    movl    12(%edx), %ebp
    movl    16(%edx), %esp
    jmp     *20(%edx)
    .size longjmp, . - longjmp

    .section .note.GNU-stack, "", @progbits

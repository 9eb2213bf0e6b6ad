/* int vekos_trap6(number, a, b, c, d, e, f): the trap with all six argument registers. */
    .text
    .globl vekos_trap6
    .type vekos_trap6, @function
vekos_trap6:
    pushl   %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    20(%esp), %eax
    movl    24(%esp), %ebx
    movl    28(%esp), %ecx
    movl    32(%esp), %edx
    movl    36(%esp), %esi
    movl    40(%esp), %edi
    movl    44(%esp), %ebp
    int     $0x80
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
    .size vekos_trap6, . - vekos_trap6

    .section .note.GNU-stack, "", @progbits

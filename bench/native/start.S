/* Start-up for the native Linux i386 counterparts of the benchmark programs:
   main's result goes to the Linux exit system call (eax 1). */
    .text
    .globl _start
_start:
    call    main
    movl    %eax, %ebx
    movl    $1, %eax
    int     $0x80
    .section .note.GNU-stack, "", @progbits

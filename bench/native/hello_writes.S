/* What `run hello.uelf -v` puts on the console, as a native Linux i386 program makes it:
   puts("-v") is two writes, then the process exits with status 0. */
    .text
    .globl _start
_start:
    movl    $4, %eax            /* Linux write */
    movl    $1, %ebx
    movl    $text, %ecx
    movl    $2, %edx
    int     $0x80
    movl    $4, %eax
    movl    $1, %ebx
    movl    $newline, %ecx
    movl    $1, %edx
    int     $0x80
    movl    $1, %eax            /* Linux exit */
    xorl    %ebx, %ebx
    int     $0x80
    .data
text:
    .ascii  "-v"
newline:
    .ascii  "\n"
    .section .note.GNU-stack, "", @progbits

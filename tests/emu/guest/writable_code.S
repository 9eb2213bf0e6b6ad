# Code the store test program rewrites while it runs: a writable and executable section.
    .section .writable_code, "awx", @progbits
    .globl patch_next
    .type patch_next, @function
patch_next:
    movb $5, 1f + 1
1:  mov $1, %eax
    ret
    .size patch_next, .-patch_next

    .globl code_buffer
code_buffer:
    .fill 16, 1, 0xc3

    .section .note.GNU-stack,"",@progbits

# Entry and raw trap for the emulator's test program; no library involved.
    .text
    .globl _start
_start:
    xor %ebp, %ebp
    mov (%esp), %eax          # argc
    lea 4(%esp), %ecx         # argv
    and $-16, %esp
    sub $8, %esp
    push %ecx
    push %eax
    call main
    mov %eax, (%esp)
    call exit_process         # never returns

# int raw_trap(number, ebx, ecx, edx, esi, edi, ebp): any trap with any registers.
    .globl raw_trap
    .type raw_trap, @function
raw_trap:
    push %ebp
    push %ebx
    push %esi
    push %edi
    mov 20(%esp), %eax
    mov 24(%esp), %ebx
    mov 28(%esp), %ecx
    mov 32(%esp), %edx
    mov 36(%esp), %esi
    mov 40(%esp), %edi
    mov 44(%esp), %ebp
    int $0x80
    pop %edi
    pop %esi
    pop %ebx
    pop %ebp
    ret
    .size raw_trap, .-raw_trap

# long double load_pi(void) and long double add_one(long double): x87 results.
    .globl load_pi
    .type load_pi, @function
load_pi:
    fldpi
    ret
    .size load_pi, .-load_pi
    .globl add_one
    .type add_one, @function
add_one:
    fldt 4(%esp)
    fld1
    faddp
    ret
    .size add_one, .-add_one

# Faults on purpose, one kind each.
    .globl divide_by_zero
    .type divide_by_zero, @function
divide_by_zero:
    xor %ecx, %ecx
    mov $1, %eax
    cltd
    idiv %ecx
    ret
    .size divide_by_zero, .-divide_by_zero
    .globl invalid_instruction
    .type invalid_instruction, @function
invalid_instruction:
    ud2
    ret
    .size invalid_instruction, .-invalid_instruction
# Loads and stores that fault in the middle of their block: the instructions after them must
# not run, and the fault names their own address.
    .globl store_then_more
    .type store_then_more, @function
store_then_more:
    mov $7, %eax
    mov %eax, 0x10
    mov $9, %eax
    ret
    .size store_then_more, .-store_then_more
    .globl load_after_push
    .type load_after_push, @function
load_after_push:
    push %ebx
    mov $0x10, %ecx
    mov (%ecx), %eax
    pop %ebx
    ret
    .size load_after_push, .-load_after_push

    .section .note.GNU-stack,"",@progbits

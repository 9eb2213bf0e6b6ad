/* setjmp: non-local jumps. A jmp_buf keeps what a call must preserve on i386 (ebx, esi,
   edi, ebp), the stack pointer and the return address; the x87 state and the flags stay as
   longjmp finds them. longjmp with 0 makes setjmp return 1. */
#ifndef VEKOS_SETJMP_H
#define VEKOS_SETJMP_H

#include <vekos_cdefs.h>

typedef int jmp_buf[6];

VEKOS_BEGIN_DECLS

__attribute__((returns_twice)) int setjmp(jmp_buf env);
VEKOS_NORETURN void longjmp(jmp_buf env, int value);

VEKOS_END_DECLS

#endif

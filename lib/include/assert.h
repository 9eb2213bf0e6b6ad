/* assert: a failed assertion prints "FILE:LINE: FUNCTION: assertion 'EXPRESSION' failed"
   on stderr (the console) and ends the program with status 1, as abort does. With NDEBUG
   defined, assert evaluates nothing. Like every assert.h, this one may be included again
   after NDEBUG changes. */
#include <vekos_cdefs.h>

#undef assert
#ifdef NDEBUG
#define assert(expression) ((void)0)
#else
#define assert(expression)                                                                         \
    ((expression) ? (void)0 : __vekos_assert_fail(#expression, __FILE__, __LINE__, __func__))
#endif

#if !defined(__cplusplus) && !defined(static_assert)
#define static_assert _Static_assert
#endif

#ifndef VEKOS_ASSERT_FAIL_DECLARED
#define VEKOS_ASSERT_FAIL_DECLARED
VEKOS_BEGIN_DECLS
VEKOS_NORETURN void __vekos_assert_fail(const char *expression, const char *file, int line,
                                        const char *function);
VEKOS_END_DECLS
#endif

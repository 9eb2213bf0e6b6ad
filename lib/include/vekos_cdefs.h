/* Declaration helpers shared by the public headers; usable from C and C++. */
#ifndef VEKOS_CDEFS_H
#define VEKOS_CDEFS_H

#ifdef __cplusplus
#define VEKOS_BEGIN_DECLS extern "C" {
#define VEKOS_END_DECLS }
#define VEKOS_NORETURN [[noreturn]]
#else
#define VEKOS_BEGIN_DECLS
#define VEKOS_END_DECLS
#define VEKOS_NORETURN _Noreturn
#endif

/* What lets the compiler check sizes at calls that stay calls (-fno-builtin): the function
   writes, or reads, at most `size` bytes through its argument number `pointer`
   (-Wstringop-overflow, -Wstringop-overread). Nothing more is claimed: a null pointer with a
   size of 0 is never touched (the compiler warns about one with a larger size). */
#define VEKOS_WRITES_(pointer, size) __attribute__((__access__(__write_only__, pointer, size)))
#define VEKOS_READS_(pointer, size) __attribute__((__access__(__read_only__, pointer, size)))
/* The result is null or a new block that no other pointer reaches; VEKOS_BLOCK_SIZE_: of as
   many bytes as the product of the arguments it names. */
#define VEKOS_FRESH_BLOCK_ __attribute__((__malloc__))
#define VEKOS_BLOCK_SIZE_(...) __attribute__((__alloc_size__(__VA_ARGS__)))

#endif

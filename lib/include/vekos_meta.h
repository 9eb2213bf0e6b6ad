/* vekos_meta: the command and package records that describe a program to the system's
   tools (vekos-info reads them), written with one line each at file scope:

       VEKOS_COMMAND("Count the words of files.", "wc [file...]");
       VEKOS_PACKAGE("wc", "1");

   Each record is a 4-byte magic ("VCMD" or "VPKG"), the format version 1 as a 32-bit
   little-endian word, the two strings with their NULs, and one more NUL that ends it; it is
   the whole content of its section (.vekos.cmdmeta, aligned to 32, or .vekos.pkgmeta,
   aligned to 4). The program itself never reads them. Arguments must be string literals;
   a program has at most one record of each kind. */
#ifndef VEKOS_META_H
#define VEKOS_META_H

#ifdef __cplusplus
#define VEKOS_META_LINKAGE_ extern "C"
#else
#define VEKOS_META_LINKAGE_ extern
#endif

/* The NUL that ends the record is the array's own terminator. */
#define VEKOS_META_RECORD_(symbol, section_name, alignment, magic, first, second)                  \
    VEKOS_META_LINKAGE_ const char                                                                 \
        symbol[sizeof(magic "\x01\x00\x00\x00" first "\0" second "\0")];                           \
    __attribute__((section(section_name), used, aligned(alignment)))                               \
    const char symbol[sizeof(magic "\x01\x00\x00\x00" first "\0" second "\0")] =                   \
        magic "\x01\x00\x00\x00" first "\0" second "\0"

#define VEKOS_COMMAND(summary, usage)                                                              \
    VEKOS_META_RECORD_(g_cmdmeta_0, ".vekos.cmdmeta", 32, "VCMD", summary, usage)
#define VEKOS_PACKAGE(package, version)                                                            \
    VEKOS_META_RECORD_(g_pkgmeta_0, ".vekos.pkgmeta", 4, "VPKG", package, version)

#endif

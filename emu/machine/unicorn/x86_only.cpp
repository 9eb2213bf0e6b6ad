// Unicorn's uc.c names every architecture's entry points, so linking it statically pulls in all
// of them (18 MB). vekos only opens UC_ARCH_X86: defining the others here keeps their archive
// members out of the link. They are never called.
#include <cstdlib>

struct uc_struct;
struct uc_context;

#define VEKOS_NO_ARCH(arch)                                                                        \
    void arch##_uc_init(uc_struct *) {                                                             \
        std::abort();                                                                              \
    }                                                                                              \
    int arch##_context_reg_read(uc_context *, unsigned *, void **, int) {                          \
        std::abort();                                                                              \
    }                                                                                              \
    int arch##_context_reg_write(uc_context *, unsigned *, void *const *, int) {                   \
        std::abort();                                                                              \
    }

extern "C" {
VEKOS_NO_ARCH(arm)
VEKOS_NO_ARCH(arm64)
VEKOS_NO_ARCH(m68k)
VEKOS_NO_ARCH(mips)
VEKOS_NO_ARCH(mipsel)
VEKOS_NO_ARCH(mips64)
VEKOS_NO_ARCH(mips64el)
VEKOS_NO_ARCH(ppc)
VEKOS_NO_ARCH(ppc64)
VEKOS_NO_ARCH(riscv32)
VEKOS_NO_ARCH(riscv64)
VEKOS_NO_ARCH(s390)
VEKOS_NO_ARCH(sparc)
VEKOS_NO_ARCH(sparc64)
VEKOS_NO_ARCH(tricore)
}

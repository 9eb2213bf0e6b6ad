// The package record: magic, format version 1, package name, package version, and an
// empty string to end it.
extern "C" const char g_pkgmeta_0[15];
__attribute__((section(".vekos.pkgmeta"), used, aligned(4))) const char g_pkgmeta_0[15] =
    "VPKG"
    "\x01\x00\x00\x00"
    "run\0"
    "3\0";

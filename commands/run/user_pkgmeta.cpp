// The package record of `run`, read by the system's tools without running the program.
#include <vekos_meta.h>

VEKOS_PACKAGE("run", "3");

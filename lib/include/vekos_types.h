/* The system types that several public headers share; all 32 bits wide. */
#ifndef VEKOS_TYPES_H
#define VEKOS_TYPES_H

typedef int ssize_t;
typedef int off_t;
typedef unsigned int mode_t;
typedef int pid_t;

#endif

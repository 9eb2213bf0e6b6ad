/* time: what ISO C's time.h offers that vekos can answer, for ported programs. No trap gives
   the time of day or the processor time a program has used (the time-stamp counter counts
   cycles at a rate no program can learn), so clock() always returns (clock_t)-1 and time()
   (time_t)-1, as ISO C has them do when that time is not available. */
#ifndef VEKOS_TIME_H
#define VEKOS_TIME_H

#include <stddef.h>
#include <vekos_cdefs.h>

typedef long clock_t;
typedef long time_t;

#define CLOCKS_PER_SEC ((clock_t)1000000)

/* The broken-down time of ISO C; no function here fills one. */
struct tm {
    int tm_sec;
    int tm_min;
    int tm_hour;
    int tm_mday;
    int tm_mon;
    int tm_year;
    int tm_wday;
    int tm_yday;
    int tm_isdst;
};

VEKOS_BEGIN_DECLS

clock_t clock(void); /* (clock_t)-1 */
/* (time_t)-1, also stored through a non-null now. */
time_t time(time_t *now);
double difftime(time_t end, time_t start); /* end - start, in seconds */

VEKOS_END_DECLS

#endif

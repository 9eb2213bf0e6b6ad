/* The C++ library's operating-system settings for vekos. It stands in for the host's
   version, which would include the host's C library headers; vekos needs none of them. */
#ifndef _GLIBCXX_OS_DEFINES
#define _GLIBCXX_OS_DEFINES 1
#endif

/* vekos processes have one thread: the C++ library's thread layer is its single-threaded one,
   instead of the host's, which would include pthread.h. */
#include <bits/gthr-single.h>

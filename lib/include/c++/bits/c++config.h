/* The C++ library's configuration, as the compiler's, less what vekos does not have: wide
   characters and the multibyte state, threads and futexes, the C99 number conversions the
   library lacks (strtoll, strtof, ...), and the explicit instantiations the C++ library's
   binary would provide (vekos has none: templates are instantiated where they are used). */
#ifndef VEKOS_CXX_CONFIG_H
#define VEKOS_CXX_CONFIG_H
#include_next <bits/c++config.h>
#undef _GLIBCXX_HAVE_WCHAR_H
#undef _GLIBCXX_USE_WCHAR_T
#undef _GLIBCXX_HAVE_MBSTATE_T
#undef _GLIBCXX_HAS_GTHREADS
#undef _GLIBCXX_HAVE_LINUX_FUTEX
#undef _GLIBCXX_USE_C99_STDLIB
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE 0
#endif

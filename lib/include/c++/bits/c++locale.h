/* The C++ library's locale settings for vekos: only the "C" locale, so no locale handle. It
   stands in for the host's version, which would include the host's locale.h. */
#ifndef _GLIBCXX_CXX_LOCALE_H
#define _GLIBCXX_CXX_LOCALE_H 1
#define _GLIBCXX_NUM_CATEGORIES 6
namespace std {
typedef void *__c_locale;
} // namespace std
#endif

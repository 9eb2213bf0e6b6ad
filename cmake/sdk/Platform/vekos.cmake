# The vekos platform: statically linked .uelf images and static libraries; objects are .o
# (UNIX), there are no shared libraries.
set(UNIX 1)
set(CMAKE_EXECUTABLE_SUFFIX .uelf)
set(CMAKE_STATIC_LIBRARY_PREFIX lib)
set(CMAKE_STATIC_LIBRARY_SUFFIX .a)
set(CMAKE_FIND_LIBRARY_PREFIXES lib)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set_property(GLOBAL PROPERTY TARGET_SUPPORTS_SHARED_LIBS FALSE)

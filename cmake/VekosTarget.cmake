# Building guest code: every object and image goes through vekos-cc, as users' programs do.

include(${CMAKE_CURRENT_LIST_DIR}/VekosGuestFlags.cmake)

set(VEKOS_CC ${VEKOS_BIN_DIR}/vekos-cc)
# The build tree holds the kit as it is installed: bin/, lib/vekos/ and include/vekos/.
set(VEKOS_LIB_DIR ${CMAKE_BINARY_DIR}/lib/vekos)
set(VEKOS_INCLUDE_DIR ${CMAKE_BINARY_DIR}/include/vekos)
set(VEKOS_TARGET_CFLAGS -Os -Wall -Wextra -Werror)

# vekos_compile(<out-var> SOURCES <files...> [FLAGS <flags...>])
# Compiles each source into an object under the current binary dir; <out-var> lists them.
function(vekos_compile out_var)
    cmake_parse_arguments(ARG "" "" "SOURCES;FLAGS" ${ARGN})
    set(objects)
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/guest ${VEKOS_LIB_DIR})
    foreach(source ${ARG_SOURCES})
        get_filename_component(source_path ${source} ABSOLUTE)
        file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${source_path})
        string(REGEX REPLACE "[/.]" "_" stem ${rel})
        set(object ${CMAKE_CURRENT_BINARY_DIR}/guest/${stem}.o)
        add_custom_command(
            OUTPUT ${object}
            COMMAND ${VEKOS_CC} ${VEKOS_TARGET_CFLAGS} ${ARG_FLAGS} -MD -MF ${object}.d
                    -c ${source_path} -o ${object}
            DEPENDS ${source_path} ${VEKOS_CC} vekos_format
            DEPFILE ${object}.d
            COMMENT "vekos-cc ${rel}"
            VERBATIM)
        list(APPEND objects ${object})
    endforeach()
    set(${out_var} ${objects} PARENT_SCOPE)
endfunction()

# vekos_program(<target> OUTPUT <image> SOURCES <files...> [FLAGS <flags...>] [WHOLE_LIBRARY])
# Builds one vekos image from its sources, linked against user_crt0 and the library; FLAGS
# reach the link too, as with cc (-fsanitize=undefined links the checks' run-time).
function(vekos_program target)
    cmake_parse_arguments(ARG "WHOLE_LIBRARY" "OUTPUT" "SOURCES;FLAGS" ${ARGN})
    vekos_compile(objects SOURCES ${ARG_SOURCES} FLAGS ${ARG_FLAGS})
    set(link_flags)
    if(ARG_WHOLE_LIBRARY)
        list(APPEND link_flags --whole-library)
    endif()
    get_filename_component(output_dir ${ARG_OUTPUT} DIRECTORY)
    add_custom_command(
        OUTPUT ${ARG_OUTPUT}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
        COMMAND ${VEKOS_CC} ${ARG_FLAGS} ${link_flags} ${objects} -o ${ARG_OUTPUT}
        DEPENDS ${objects} ${VEKOS_CC} vekos_runtime ${VEKOS_LIB_DIR}/libvekos.a
                ${VEKOS_LIB_DIR}/libvekos_checks.a ${VEKOS_LIB_DIR}/libvekos_malloc.a
                ${VEKOS_LIB_DIR}/user_crt0.o ${VEKOS_LIB_DIR}/vekos.ld
        COMMENT "vekos-cc -o ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
endfunction()

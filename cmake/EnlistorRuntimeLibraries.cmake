# Libraries the program loads when it first needs them (dlopen) instead of naming them among its ELF dependencies:
# the TLS probe's libssl, the terminal dialog's newt and slang. Neither dpkg-shlibdeps nor rpmbuild finds such a
# library, so each is recorded here and cmake/EnlistorPackaging.cmake names it in the packages' dependencies.
#
#   enlistor_runtime_library(TARGET t NAME n [HINTS dir...] [MACRO m])
#
# finds the library libn.so (in the hint directories first, pkg-config's for it), reads its soname, gives it to the
# target's sources as the string macro m when one is named, and records it in the global property
# ENLISTOR_RUNTIME_SONAMES.
find_program(ENLISTOR_READELF readelf REQUIRED)

function(enlistor_runtime_library)
    cmake_parse_arguments(ARG "" "TARGET;NAME;MACRO" "HINTS" ${ARGN})
    find_library(ENLISTOR_RUNTIME_LIBRARY_${ARG_NAME} NAMES ${ARG_NAME} HINTS ${ARG_HINTS} REQUIRED)
    set(library ${ENLISTOR_RUNTIME_LIBRARY_${ARG_NAME}})
    execute_process(COMMAND ${ENLISTOR_READELF} -d ${library} OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
    string(REGEX MATCH "Library soname: \\[([^]]+)\\]" soname_line "${dynamic}")
    if(failed OR NOT CMAKE_MATCH_1)
        message(FATAL_ERROR "the soname of ${library} cannot be read")
    endif()
    set(soname ${CMAKE_MATCH_1})
    if(ARG_MACRO)
        target_compile_definitions(${ARG_TARGET} PRIVATE ${ARG_MACRO}="${soname}")
    endif()
    set_property(GLOBAL APPEND PROPERTY ENLISTOR_RUNTIME_SONAMES ${soname})
endfunction()

# Compile options shared by every target of the project: each target links enlistor_build_options. Include
# directories are not among them: each library carries its own (see enlistor_add_library).
add_library(enlistor_build_options INTERFACE)
target_compile_options(enlistor_build_options INTERFACE -Wall -Wextra)
if(ENLISTOR_WERROR)
    target_compile_options(enlistor_build_options INTERFACE -Werror)
endif()
if(ENLISTOR_SANITIZE)
    target_compile_options(enlistor_build_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all
                                                            -fno-omit-frame-pointer)
    target_link_options(enlistor_build_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Release and packaging builds get the hardening Debian's dpkg-buildflags gives with hardening=+all: stack protector,
# _FORTIFY_SOURCE, format checks, full RELRO with BIND_NOW, position-independent executables. Sanitizer builds go
# without (_FORTIFY_SOURCE hides faults from AddressSanitizer) and so do Debug builds (_FORTIFY_SOURCE needs -O).
if(ENLISTOR_HARDEN AND NOT ENLISTOR_SANITIZE)
    set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    target_compile_options(enlistor_build_options INTERFACE
        "$<${optimised}:-fstack-protector-strong;-fstack-clash-protection;-Wformat;-Werror=format-security>")
    target_compile_definitions(enlistor_build_options INTERFACE "$<${optimised}:_FORTIFY_SOURCE=2>")
    target_link_options(enlistor_build_options INTERFACE "$<${optimised}:LINKER:-z,relro;LINKER:-z,now>")
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

if(ENLISTOR_FUZZ)
    target_compile_options(enlistor_build_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# Adds a library target for one folder of the project. Project headers are named by their path from the source
# root ("cipher/Rijndael.h"); the library carries that include directory, so what links it finds its headers.
function(enlistor_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC enlistor_build_options ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

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

# Project headers are named by their path from the source root ("cipher/Rijndael.h"), yet no target sees the source
# root: a target sees the headers of its own folder and of the libraries it links (a PUBLIC link passes its headers
# on), so including a header of a library the target does not link fails to compile. The headers of each folder are
# staged as links under <build>/include/<target>/<folder>/ and that directory is the target's include directory.
function(enlistor_expose_headers target scope)
    set(stage ${PROJECT_BINARY_DIR}/include/${target})
    file(REMOVE_RECURSE ${stage})
    foreach(folder IN LISTS ARGN)
        file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
        file(MAKE_DIRECTORY ${stage}/${folder})
        foreach(header IN LISTS headers)
            get_filename_component(header_name ${header} NAME)
            file(CREATE_LINK ${header} ${stage}/${folder}/${header_name} SYMBOLIC)
        endforeach()
    endforeach()
    target_include_directories(${target} ${scope} ${stage})
endfunction()

# Adds a library target for one folder of the project; what links it sees the folder's headers.
function(enlistor_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    enlistor_expose_headers(${name} PUBLIC ${folder})
    target_link_libraries(${name} PUBLIC enlistor_build_options ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# The tests' and benchmarks' own headers (tests/*/ and bench/*/), for their programs: these may use one another's.
add_library(enlistor_test_headers INTERFACE)
file(GLOB_RECURSE test_headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/*.h
     ${PROJECT_SOURCE_DIR}/bench/*.h)
set(test_header_folders)
foreach(header IN LISTS test_headers)
    get_filename_component(folder ${header} DIRECTORY)
    list(APPEND test_header_folders ${folder})
endforeach()
list(REMOVE_DUPLICATES test_header_folders)
enlistor_expose_headers(enlistor_test_headers INTERFACE ${test_header_folders})

# Adds every subfolder of the calling folder that has a CMakeLists.txt, in name order (tests/, bench/, fuzz/).
macro(enlistor_add_subfolders)
    file(GLOB enlistor_children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT enlistor_children)
    foreach(child IN LISTS enlistor_children)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
            add_subdirectory(${child})
        endif()
    endforeach()
endmacro()

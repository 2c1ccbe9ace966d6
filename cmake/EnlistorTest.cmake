include(GoogleTest)
find_package(GTest REQUIRED)

# enlistor_add_test(NAME n SOURCES s... LIBS l... LABELS unit|integration|ui [ENVIRONMENT k=v...] [TIMEOUT s]
#                   [PROPERTIES p v...])
# One GoogleTest executable; every test case becomes a CTest test carrying the labels.
function(enlistor_add_test)
    cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT;PROPERTIES" ${ARGN})
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE enlistor_build_options enlistor_test_headers ${ARG_LIBS} GTest::gtest GTest::gmock
                                              GTest::gtest_main)
    target_compile_definitions(${ARG_NAME} PRIVATE ENLISTOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                   ENLISTOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # An empty ENVIRONMENT value would vanish from the property list and swallow the next property's name.
    set(environment_property)
    if(ARG_ENVIRONMENT)
        set(environment_property ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} ${environment_property}
                                    ${ARG_PROPERTIES})
endfunction()

# enlistor_add_fuzzer(NAME n SOURCES s... LIBS l...)
# The target's LLVMFuzzerTestOneInput is built twice: with libFuzzer when ENLISTOR_FUZZ is on (clang), and always
# with a replay main that runs every saved input of fuzz/corpus/<n>/ as a CTest test (label unit).
function(enlistor_add_fuzzer)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${ARG_NAME}_replay ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_link_libraries(${ARG_NAME}_replay PRIVATE enlistor_build_options ${ARG_LIBS})
    add_test(NAME fuzz_replay.${ARG_NAME}
             COMMAND ${ARG_NAME}_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus/${ARG_NAME})
    set_tests_properties(fuzz_replay.${ARG_NAME} PROPERTIES LABELS unit TIMEOUT 300)
    if(ENLISTOR_FUZZ)
        add_executable(${ARG_NAME}_fuzzer ${ARG_SOURCES})
        target_compile_options(${ARG_NAME}_fuzzer PRIVATE -fsanitize=fuzzer)
        target_link_options(${ARG_NAME}_fuzzer PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${ARG_NAME}_fuzzer PRIVATE enlistor_build_options ${ARG_LIBS})
    endif()
endfunction()

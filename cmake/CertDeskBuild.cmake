# Build-wide settings: one output folder, $ORIGIN lookups, warnings, sanitizers.

# Programs find their libraries beside themselves, as the Windows build does.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_BUILD_RPATH "$ORIGIN")
set(CMAKE_INSTALL_RPATH "$ORIGIN")
add_link_options("LINKER:--enable-new-dtags")

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(CERTDESK_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
    # Programs we did not build (pkcs11-tool, certtool) load our sanitized modules;
    # the runtime has to be in the process before them.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE _asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE _ubsan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CERTDESK_EXTERNAL_TOOL_ENV
        "LD_PRELOAD=${_asan_runtime}:${_ubsan_runtime}"
        "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0")
else()
    set(CERTDESK_EXTERNAL_TOOL_ENV "")
endif()

# Warnings are errors for our own targets only; third-party headers come in as SYSTEM.
function(certdesk_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                           -Wnon-virtual-dtor -Werror)
endfunction()

find_package(PkgConfig REQUIRED)
pkg_check_modules(P11KIT REQUIRED IMPORTED_TARGET p11-kit-1)
find_package(OpenSSL 3 REQUIRED)
find_package(GTest REQUIRED)
include(GoogleTest)

# certdesk_add_fuzzer(NAME SOURCES files... LIBS targets... CORPUS dir)
# A libFuzzer target, built only with CERTDESK_FUZZ, run by ctest (label "fuzz") for a
# bounded time from its seed corpus; a crash fails the test.
if(CERTDESK_FUZZ)
    add_custom_target(certdesk_fuzzers)
endif()
set(CERTDESK_FUZZ_SECONDS 60 CACHE STRING "How long ctest runs each fuzzer")
function(certdesk_add_fuzzer name)
    if(NOT CERTDESK_FUZZ)
        return()
    endif()
    cmake_parse_arguments(FZ "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${FZ_SOURCES})
    target_link_libraries(${name} PRIVATE ${FZ_LIBS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    certdesk_warnings(${name})
    add_dependencies(certdesk_fuzzers ${name})
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    add_test(NAME ${name}
             COMMAND sh -c "mkdir -p '${work}' && exec \"$0\" -max_total_time=${CERTDESK_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 '${work}' '${FZ_CORPUS}'"
                     $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

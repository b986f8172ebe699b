# Shared build rules. Every module globs its own sources, so adding a file needs no edit here.

# libstdc++ 12's stable sort calls its own deprecated get_temporary_buffer, which clang reports at our call site.
set(PARLINDO_WARNINGS -Wall -Wextra -Werror -Wnon-virtual-dtor -Wno-missing-field-initializers
    -Wno-deprecated-declarations)

# parlindo_module(<target> DIR <dir> INCLUDE <include root> [ALIAS <alias>] [DEPS <libs...>])
# A library made of every .cpp under DIR (tests excluded); header-only when there is none.
function(parlindo_module target)
  cmake_parse_arguments(M "" "DIR;INCLUDE;ALIAS" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${M_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/Tests/")
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${M_INCLUDE})
    target_link_libraries(${target} PUBLIC ${M_DEPS})
    target_compile_options(${target} PRIVATE ${PARLINDO_WARNINGS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${M_INCLUDE})
    target_link_libraries(${target} INTERFACE ${M_DEPS})
  endif()
  if(M_ALIAS)
    add_library(${M_ALIAS} ALIAS ${target})
  endif()
endfunction()

# parlindo_tests(<target> DIR <dir> [DEPS <libs...>] [WRAPPER <command...>] [LABELS <labels...>])
# One GoogleTest executable made of every .cpp under DIR. WRAPPER runs the executable inside a service
# environment (an X server, a sound server, a D-Bus session) that the wrapper starts and stops.
function(parlindo_tests target)
  cmake_parse_arguments(T "" "DIR;TIMEOUT" "DEPS;WRAPPER;LABELS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${T_DIR}/*.cpp)
  if(NOT sources)
    message(STATUS "${target}: no test sources yet")
    return()
  endif()
  add_executable(${target} ${sources})
  target_include_directories(${target} PRIVATE ${T_DIR})
  target_link_libraries(${target} PRIVATE ${T_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_options(${target} PRIVATE ${PARLINDO_WARNINGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(T_WRAPPER)
    # Services are started once per executable, so the whole executable is one test.
    add_test(NAME ${target} COMMAND ${T_WRAPPER} $<TARGET_FILE:${target}>)
    set_tests_properties(${target} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "integration;${T_LABELS}")
  else()
    # Listing the tests starts the executable, which on a busy machine (a sanitizer build among many tests)
    # can take far longer than the default five seconds; a listing that times out fails the whole run.
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "unit;${T_LABELS}")
  endif()
endfunction()

# parlindo_benchmark(<file.cpp> DEPS <libs...>): one Google Benchmark executable per file in bench/.
function(parlindo_benchmark file)
  cmake_parse_arguments(B "" "" "DEPS" ${ARGN})
  get_filename_component(name ${file} NAME_WE)
  add_executable(bench_${name} ${file})
  target_link_libraries(bench_${name} PRIVATE ${B_DEPS} benchmark::benchmark_main)
  target_compile_options(bench_${name} PRIVATE ${PARLINDO_WARNINGS})
endfunction()

# parlindo_fuzzer(<name> [DEPS <libs...>] [LEAK_SUPPRESSIONS <file>]): the libFuzzer target
# fuzz/<name>/<name>.cpp with its seed corpus in fuzz/<name>/corpus (every input that once crashed or hung stays there as a regression case). CTest runs it
# for PARLINDO_FUZZ_SECONDS; new inputs it finds go to the build tree, never into the repository. A leak
# suppression file names leaks of a third-party library that our code cannot free.
function(parlindo_fuzzer name)
  cmake_parse_arguments(F "" "LEAK_SUPPRESSIONS" "DEPS" ${ARGN})
  if(NOT PARLINDO_FUZZ)
    return()
  endif()
  add_executable(fuzz_${name} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
  target_link_libraries(fuzz_${name} PRIVATE ${F_DEPS})
  target_compile_options(fuzz_${name} PRIVATE ${PARLINDO_WARNINGS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  set(found ${CMAKE_CURRENT_BINARY_DIR}/found)
  file(MAKE_DIRECTORY ${found})
  add_test(NAME fuzz_${name}
    COMMAND fuzz_${name} -max_total_time=${PARLINDO_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=4096
            -print_final_stats=1 ${found} ${CMAKE_CURRENT_SOURCE_DIR}/corpus)
  set_tests_properties(fuzz_${name} PROPERTIES TIMEOUT 300 LABELS "fuzz")
  if(F_LEAK_SUPPRESSIONS)
    set_tests_properties(fuzz_${name} PROPERTIES
      ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/${F_LEAK_SUPPRESSIONS}")
  endif()
endfunction()

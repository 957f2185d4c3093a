# Shared helpers for the project's libraries, tests and benchmarks.
#
# Include roots: the repository root (base/..., audio-watcher/..., reactive/...)
# and src/ (engine/..., ui/...).
set(VELTRUM_INCLUDE_ROOTS ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)

# veltrum_test(<name> SOURCES ... LIBS ... [GUI] [JACK] [TIMEOUT s] [LABELS ...])
# One GoogleTest executable, registered as one CTest test. GUI tests start
# GTK/WebKit, whose caches live for the whole process; leak checking is off
# for them only, and WebKit paints on the CPU. JACK tests open clients on the
# shared test server and look up their own ports by name, so they run one at
# a time.
function(veltrum_test name)
  cmake_parse_arguments(T "GUI;JACK" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${VELTRUM_INCLUDE_ROOTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  # Where a test finds its fixtures: ccache builds see __FILE__ as a relative path.
  target_compile_definitions(${name} PRIVATE VELTRUM_TEST_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "VELTRUM_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp" "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp")
  if(T_GUI)
    # The tests' X server has no GPU: WebKit's GPU painting (Skia on GL) runs
    # on Mesa's software GL there, and its GPU resource cache now and then
    # trips an internal assertion that kills the page process mid-test (an
    # "invalid opcode" trap in libwebkit2gtk). WebKit's CPU painting draws
    # the same page without that path.
    list(APPEND env "ASAN_OPTIONS=detect_leaks=0" "WEBKIT_SKIA_ENABLE_CPU_RENDERING=1")
    list(APPEND T_LABELS gui)
  endif()
  if(NOT T_JACK)
    # Only the JACK tests see the test server: a client that arrives while a
    # test opens or closes its own (a device list opens short-lived ones) can
    # stall that test inside the JACK library.
    list(APPEND env "JACK_DEFAULT_SERVER=veltrum-test-none")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}" LABELS "${T_LABELS}")
  if(T_JACK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK jack)
  endif()
endfunction()

# veltrum_bench(<name> SOURCES ... LIBS ...)
function(veltrum_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  target_include_directories(${name} PRIVATE ${VELTRUM_INCLUDE_ROOTS})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# veltrum_engine_part(<name> SOURCES ... DEPS ...)
# The engine is one library, veltrum_engine, made of one static library per
# part (src/engine/<part>/) so that each part builds and tests on its own.
function(veltrum_engine_part name)
  cmake_parse_arguments(P "" "" "SOURCES;DEPS" ${ARGN})
  add_library(engine_${name} STATIC ${P_SOURCES})
  target_include_directories(engine_${name} PUBLIC ${VELTRUM_INCLUDE_ROOTS})
  target_link_libraries(engine_${name} PUBLIC veltrum_base ${P_DEPS})
  target_link_libraries(veltrum_engine INTERFACE engine_${name})
endfunction()

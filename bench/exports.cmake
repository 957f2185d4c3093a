veltrum_bench(bench_exports SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports.cpp LIBS engine_exports)

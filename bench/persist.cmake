veltrum_bench(bench_persist SOURCES ${CMAKE_CURRENT_LIST_DIR}/persist.cpp LIBS engine_persist)

veltrum_bench(bench_reactive SOURCES ${CMAKE_CURRENT_LIST_DIR}/reactive.cpp LIBS veltrum_reactive)

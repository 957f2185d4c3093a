# Measurement core: FFT sizes, delay search, window of N cycles over stored
# traces, display snapshot of a trace.
veltrum_bench(bench_core SOURCES ${CMAKE_CURRENT_LIST_DIR}/core.cpp LIBS engine_core)

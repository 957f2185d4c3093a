# Tuning engine: alignment over several positions, the crossover search, the
# EQ fit and the predicted sum.
veltrum_bench(bench_tuning SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuning.cpp LIBS engine_tuning)

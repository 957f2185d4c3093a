# The meter's signal path per second of audio.
veltrum_bench(bench_meter SOURCES ${CMAKE_CURRENT_LIST_DIR}/meter.cpp LIBS engine_meter)

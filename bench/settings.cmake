# Settings: rendering, reading and saving "settings.ron" (done at every change).
veltrum_bench(bench_settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings.cpp LIBS engine_settings)

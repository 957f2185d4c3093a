veltrum_bench(bench_audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio.cpp LIBS engine_audio)

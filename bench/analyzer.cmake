# The live analyzer: real-time factor of the four layers at 48, 96 and
# 192 kHz, the sweep layer of a 30 s sweep at 192 kHz, display publishing.
veltrum_bench(bench_analyzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/analyzer.cpp LIBS engine_analyzer)

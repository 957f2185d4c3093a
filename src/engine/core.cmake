# Measurement core: grid, FFT plans, layers, delay and impulse-response
# analysis, traces and their display snapshot, microphone calibration files.
veltrum_engine_part(core
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tf.cpp
    ${CMAKE_CURRENT_LIST_DIR}/trace.cpp
    ${CMAKE_CURRENT_LIST_DIR}/analyzer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/miccal.cpp
  DEPS PkgConfig::FFTW3F)

veltrum_test(core_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/tf_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/trace_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/miccal_test.cpp
  LIBS engine_core)

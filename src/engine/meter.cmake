# The SPL and RTA meter.
veltrum_engine_part(meter
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/meter.cpp
  DEPS engine_core engine_audio)

veltrum_test(meter_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/meter_test.cpp
  LIBS engine_meter)

# Console and processor exports: Wing console commands with their OSC/UDP
# transport, and the Compass setting file.
veltrum_engine_part(exports
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/wing.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wing_osc.cpp
    ${CMAKE_CURRENT_LIST_DIR}/compass.cpp
  DEPS engine_tuning ZLIB::ZLIB)

veltrum_test(exports_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/wing_osc_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/wing_target_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/wing_command_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/compass_test.cpp
  LIBS engine_exports)

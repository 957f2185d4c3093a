# The live transfer-function analyzer: layer set, feeding and accumulation,
# delay search and drift lock, status line and display data, the thread and
# the window's handle. (The published Snapshot record lives in core's
# analyzer.cpp.)
veltrum_engine_part(analyzer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/analyzer_layers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/analyzer_drift.cpp
    ${CMAKE_CURRENT_LIST_DIR}/analyzer_session.cpp
    ${CMAKE_CURRENT_LIST_DIR}/analyzer_thread.cpp
  DEPS engine_core engine_audio)

veltrum_test(analyzer_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/analyzer_layers_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/analyzer_session_test.cpp
  LIBS engine_analyzer)

# The thread on a simulated room (software host, virtual clock), and once on
# a JACK server looped back when one runs.
veltrum_test(analyzer_run_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/analyzer_run_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/analyzer_jack_test.cpp
  LIBS engine_analyzer)

# Persistence: the file notation, project files and autosave.
veltrum_engine_part(persist
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/notation.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gzip.cpp
    ${CMAKE_CURRENT_LIST_DIR}/trace_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/autosave.cpp
  DEPS engine_core engine_tuning veltrum_api ZLIB::ZLIB)
veltrum_test(persist_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/notation_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/project_file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/autosave_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/project_fuzz_test.cpp
  LIBS engine_persist)

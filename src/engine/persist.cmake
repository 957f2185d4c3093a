# Persistence: the file notation, project files and autosave.
veltrum_engine_part(persist
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/notation.cpp
  DEPS veltrum_api ZLIB::ZLIB)
veltrum_test(persist_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/notation_test.cpp
  LIBS engine_persist)

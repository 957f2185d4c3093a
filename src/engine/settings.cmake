# Settings: the record and its file "settings.ron", its repairs, and the
# operations of the main window's settings store.
veltrum_engine_part(settings
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings_store.cpp
  DEPS engine_persist engine_tuning veltrum_api veltrum_reactive)
veltrum_test(settings_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/settings_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/settings_store_test.cpp
  LIBS engine_settings)

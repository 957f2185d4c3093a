# Tuning engine: the design model and its responses, the EQ model and fit,
# the alignment and crossover searches.
veltrum_engine_part(tuning
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/eqfit.cpp
    ${CMAKE_CURRENT_LIST_DIR}/eqfit_seats.cpp
    ${CMAKE_CURRENT_LIST_DIR}/eqfit_fit.cpp
    ${CMAKE_CURRENT_LIST_DIR}/design.cpp
    ${CMAKE_CURRENT_LIST_DIR}/align.cpp
  DEPS engine_core)

veltrum_test(tuning_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/eq_model_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/design_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/align_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/eqfit_test.cpp
  LIBS engine_tuning)

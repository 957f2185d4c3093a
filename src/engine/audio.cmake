# Audio device I/O: device lists, input stream and capture buffer, signal
# generator and its output stream.
veltrum_engine_part(audio
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture.cpp ${CMAKE_CURRENT_LIST_DIR}/generator.cpp
  DEPS veltrum_audio_watcher)

veltrum_test(audio_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/capture_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/generator_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/audio_jack_test.cpp
  LIBS engine_audio)

# Counts allocations around the audio callbacks (replaces the global operator
# new, so it gets a program of its own).
veltrum_test(audio_rt_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/audio_rt_test.cpp
  LIBS engine_audio)

# The plot path builders and reflections; the plot page script in a real web
# view (skips without a display).
veltrum_bench(bench_tf_plot SOURCES ${CMAKE_CURRENT_LIST_DIR}/tf_plot.cpp LIBS veltrum_tf_plot)
veltrum_bench(bench_tf_plot_page SOURCES ${CMAKE_CURRENT_LIST_DIR}/tf_plot_page.cpp
  LIBS veltrum_tf_plot veltrum_webview_host)
target_compile_definitions(bench_tf_plot_page PRIVATE VELTRUM_TF_PLOT_ASSETS="${VELTRUM_TF_PLOT_ASSETS}")
foreach(_b bench_tf_plot bench_tf_plot_page)
  target_compile_options(${_b} PRIVATE -Wno-missing-field-initializers)
endforeach()

# The web-view runtime in a real web view (skips without a display).
veltrum_bench(bench_webview SOURCES ${CMAKE_CURRENT_LIST_DIR}/webview.cpp LIBS veltrum_webview_host)

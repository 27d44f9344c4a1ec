# Remote desktop benchmark: first picture after the begin command, pictures shown per second,
# glass-to-glass latency and the console's CPU, agent and console in one process over loopback.
# Run on a 1280x800 display: xvfb-run -s "-screen 0 1280x800x24" <build>/bin/desktop_bench
add_executable(desktop_bench ${CMAKE_CURRENT_LIST_DIR}/desktopbench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(desktop_bench PRIVATE tovia_config agent_cmd_harness desktop_testsupport tovia_console_desktopwnd)
add_dependencies(desktop_bench ToviaMpeg)

# Remote desktop benchmark: the viewer opened by a double click on a tile of the console's window,
# its first picture against the grabber started by hand, glass-to-glass latency, pictures per second,
# the console's CPU and the bytes on the wire; agent and console in one process over loopback.
# Run as root on a 1280x800 display: xvfb-run -s "-screen 0 1280x800x24" <build>/bin/desktop_bench
add_executable(desktop_bench ${CMAKE_CURRENT_LIST_DIR}/desktopbench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(desktop_bench PRIVATE tovia_config agent_cmd_harness desktop_testsupport tovia_console_ops_ui)
add_dependencies(desktop_bench ToviaMpeg)

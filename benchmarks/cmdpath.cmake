# Command path benchmark: APK receive throughput against raw loopback TCP, and the latency of a start
# command against the simulated farm. Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/cmdpath_bench
add_executable(cmdpath_bench ${CMAKE_CURRENT_LIST_DIR}/cmdpathbench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(cmdpath_bench PRIVATE tovia_config agent_cmd_harness tovia_testsupport bench_loopback Qt5::Test)
if(TARGET farmsim)
  add_dependencies(cmdpath_bench farmsim)
endif()

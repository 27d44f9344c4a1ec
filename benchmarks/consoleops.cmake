# Console operations benchmark: APK streaming against raw loopback TCP and the agent, memory, one
# install to 50 emulators, 100 agents reporting at once.
# Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/consoleops_bench
add_executable(consoleops_bench ${CMAKE_CURRENT_LIST_DIR}/consoleopsbench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(consoleops_bench
  PRIVATE tovia_config tovia_console_ops agent_cmd_harness tovia_testsupport bench_loopback Qt5::Test)
if(TARGET farmsim)
  add_dependencies(consoleops_bench farmsim)
endif()

# The agent at a farm's pace: 8 starts with a 20 s boot at parallelStarts 1 and 4, the agent's CPU per
# running instance with and without a console querying, the first discovery answer while tools are
# slow. Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/agentcore_bench [starts|cpu|discovery]...
add_executable(agentcore_bench ${CMAKE_CURRENT_LIST_DIR}/agentcorebench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(agentcore_bench PRIVATE tovia_config agent_cmd_harness tovia_testsupport Qt5::Gui)
if(TARGET farmsim)
  add_dependencies(agentcore_bench farmsim)
endif()

# Group control on the agent: click-to-event latency of the replay over many instances, the agent's
# CPU per replayed event, and the live view's frames per second and frame age; agent and console in
# one process over loopback, against farmsim.
#   <build>/bin/groupagent_bench [instances=50] [clicks=100] [click interval ms=100] [view seconds=10]
add_executable(groupagent_bench ${CMAKE_CURRENT_LIST_DIR}/groupagentbench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(groupagent_bench PRIVATE tovia_config agent_group_harness)
if(TARGET farmsim)
  add_dependencies(groupagent_bench farmsim)
endif()

# Group control benchmark: 50 emulators on 5 simulated PCs (network namespaces, needs root), 100 clicks
# on the console window's live screen; click-to-`input` latency on every follower, lost and out of
# order events, live-view pictures per second and their age when painted, agent CPU per replaying
# emulator. Run as root: xvfb-run -a -s "-screen 0 1280x800x24" <build>/bin/group_bench
add_executable(group_bench ${CMAKE_CURRENT_LIST_DIR}/groupbench.cpp $<TARGET_OBJECTS:tovia_res>)
target_link_libraries(group_bench PRIVATE tovia_config tovia_console_ops_ui tovia_testsupport Qt5::Test)
foreach(_dep ToviaSimClient farmsim ToviaAccountSvc)
  if(TARGET ${_dep})
    add_dependencies(group_bench ${_dep})
  endif()
endforeach()

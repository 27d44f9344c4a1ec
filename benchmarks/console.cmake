# Console at LAN scale: console_bench runs the real main window against consoleloadgen, which answers
# like N agent PCs x M emulators with replies recorded from the agent's own responder, and takes
# their command connections.
# Run: TOVIA_BIN_DIR=<build>/bin xvfb-run -a <build>/bin/console_bench [--agents N] [--simus M] ...
if(TARGET tovia_console_ui)
  add_executable(consoleloadgen ${CMAKE_CURRENT_LIST_DIR}/consoleloadgen.cpp)
  target_link_libraries(consoleloadgen PRIVATE tovia_config tovia_agent tovia_testsupport Qt5::Gui Qt5::Network)
  add_executable(console_bench ${CMAKE_CURRENT_LIST_DIR}/consolebench.cpp $<TARGET_OBJECTS:tovia_res>)
  target_link_libraries(console_bench PRIVATE tovia_config tovia_console_ops_ui)
  add_dependencies(console_bench consoleloadgen)
  if(TARGET farmsim)
    add_dependencies(consoleloadgen farmsim)
  endif()
endif()

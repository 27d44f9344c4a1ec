# Discovery responder benchmark: time to answer a type 1 query for 50 running instances and a type 0
# query, against the simulated farm for both products.
# Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/discovery_bench [runs]
add_executable(discovery_bench ${CMAKE_CURRENT_LIST_DIR}/discoverybench.cpp)
target_link_libraries(discovery_bench PRIVATE tovia_config tovia_agent tovia_testsupport Qt5::Gui Qt5::Network)
if(TARGET farmsim)
  add_dependencies(discovery_bench farmsim)
endif()

# Results ledger benchmark: 5,000 targets on 100 PCs reporting within a second (the GUI thread's
# longest stall, with the same burst into the result server alone as the yardstick), the memory of
# 10,000 kept operations, the start with a full ledger.
# Run: <build>/bin/ledger_bench [--targets N] [--entries N]
add_executable(ledger_bench ${CMAKE_CURRENT_LIST_DIR}/ledgerbench.cpp)
target_link_libraries(ledger_bench
  PRIVATE tovia_config tovia_console_ledger_ui tovia_console_ops agent_cmd_harness Qt5::Widgets)

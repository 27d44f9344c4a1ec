# Message authentication: signing and checking discovery replies and command documents beside the
# unsigned path. Run: <build>/bin/msgauth_bench [replies]
add_executable(msgauth_bench ${CMAKE_CURRENT_LIST_DIR}/msgauthbench.cpp)
target_link_libraries(msgauth_bench PRIVATE tovia_config tovia_protocol tovia_foundation Qt5::Gui)

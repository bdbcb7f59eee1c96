# The agent with its window: the main window, the application object with the
# restart hook, the single-instance guard and the window start-up (Qt Widgets).
add_library(kelvor_window STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AgentApplication.cpp ${CMAKE_CURRENT_LIST_DIR}/AgentApplication.h
  ${CMAKE_CURRENT_LIST_DIR}/ServiceView.cpp ${CMAKE_CURRENT_LIST_DIR}/ServiceView.h
  ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.cpp ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.h
  ${CMAKE_CURRENT_LIST_DIR}/TMainForm.cpp ${CMAKE_CURRENT_LIST_DIR}/TMainForm.h
  ${CMAKE_CURRENT_LIST_DIR}/WindowAgent.cpp ${CMAKE_CURRENT_LIST_DIR}/WindowAgent.h
)
target_link_libraries(kelvor_window PUBLIC kelvor_core kelvor_cli kelvor_shell_ui Qt6::Widgets
                                           Qt6::Network)

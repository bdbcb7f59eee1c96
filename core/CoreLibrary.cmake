# The agent core without any window: the communication thread with its cycle,
# collection and command processing, the dispatch to the user-interface thread
# and the headless view. Qt Core only, so it builds and is tested without a
# display.
add_library(kelvor_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AgentServices.h
  ${CMAKE_CURRENT_LIST_DIR}/CommandText.cpp ${CMAKE_CURRENT_LIST_DIR}/CommandText.h
  ${CMAKE_CURRENT_LIST_DIR}/HeadlessAgent.cpp ${CMAKE_CURRENT_LIST_DIR}/HeadlessAgent.h
  ${CMAKE_CURRENT_LIST_DIR}/HeadlessView.h
  ${CMAKE_CURRENT_LIST_DIR}/IAgentView.h
  ${CMAKE_CURRENT_LIST_DIR}/PauseGate.cpp ${CMAKE_CURRENT_LIST_DIR}/PauseGate.h
  ${CMAKE_CURRENT_LIST_DIR}/AgentPlaces.cpp ${CMAKE_CURRENT_LIST_DIR}/AgentPlaces.h
  ${CMAKE_CURRENT_LIST_DIR}/ReaderStatus.cpp ${CMAKE_CURRENT_LIST_DIR}/ReaderStatus.h
  ${CMAKE_CURRENT_LIST_DIR}/StationCheck.cpp ${CMAKE_CURRENT_LIST_DIR}/StationCheck.h
  ${CMAKE_CURRENT_LIST_DIR}/StationCheckReaders.cpp ${CMAKE_CURRENT_LIST_DIR}/StationCheckWrite.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ReaderClock.cpp ${CMAKE_CURRENT_LIST_DIR}/ReaderClock.h
  ${CMAKE_CURRENT_LIST_DIR}/ServiceNotifier.cpp ${CMAKE_CURRENT_LIST_DIR}/ServiceNotifier.h
  ${CMAKE_CURRENT_LIST_DIR}/StationLock.cpp ${CMAKE_CURRENT_LIST_DIR}/StationLock.h
  ${CMAKE_CURRENT_LIST_DIR}/StationStatePublisher.cpp ${CMAKE_CURRENT_LIST_DIR}/StationStatePublisher.h
  ${CMAKE_CURRENT_LIST_DIR}/TComunicationThread.cpp ${CMAKE_CURRENT_LIST_DIR}/TComunicationThread.h
  ${CMAKE_CURRENT_LIST_DIR}/TComunicationThreadCollection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TComunicationThreadCommands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ThreadText.h
  ${CMAKE_CURRENT_LIST_DIR}/TerminationSignals.cpp ${CMAKE_CURRENT_LIST_DIR}/TerminationSignals.h
  ${CMAKE_CURRENT_LIST_DIR}/ThreadTiming.h
  ${CMAKE_CURRENT_LIST_DIR}/UiDispatch.cpp ${CMAKE_CURRENT_LIST_DIR}/UiDispatch.h
  ${CMAKE_CURRENT_LIST_DIR}/WatchdogBound.cpp ${CMAKE_CURRENT_LIST_DIR}/WatchdogBound.h
)
target_link_libraries(kelvor_core PUBLIC kelvor_shell kelvor_link kelvor_db Qt6::Core)

# libsystemd (Debian's libsystemd-dev) is optional: with it the headless agent
# tells systemd when it is ready and feeds the unit's watchdog after every
# cycle (the unit is then Type=notify); without it the unit stays Type=simple.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBSYSTEMD IMPORTED_TARGET libsystemd)
endif()
if(LIBSYSTEMD_FOUND)
  target_link_libraries(kelvor_core PRIVATE PkgConfig::LIBSYSTEMD)
  set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/ServiceNotifier.cpp
               APPEND PROPERTY COMPILE_DEFINITIONS KELVOR_WITH_SYSTEMD)
  set(KELVOR_WITH_SYSTEMD ON CACHE INTERNAL "The headless agent notifies systemd")
else()
  set(KELVOR_WITH_SYSTEMD OFF CACHE INTERNAL "The headless agent notifies systemd")
endif()

# What `cmake --install build --prefix DIR` puts under DIR, and the two ways a consumer finds
# it: DIR/lib/pkgconfig/veska.pc and find_package(veska) through DIR/lib/cmake/veska. Every
# installed file locates the others relative to itself, so the tree works at whatever prefix
# it was installed to, and keeps working when moved as a whole.
include(CMakePackageConfigHelpers)

set(VESKA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/veska)

# Public header: #include <veska/types.h>.
install(FILES types.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veska COMPONENT devel)

# The exported internal interface, for programs that build logger modules, transports or
# collectors: private_api.h and exactly the headers it includes, in their tree layout, since
# they include each other by paths from the top folder (see the veska::private_api target).
set(veska_private_headers
  private_api.h
  protocol/message_header.h
  lib/concurrent/barrier.h
  lib/concurrent/cyclic_queue.h
  lib/concurrent/once.h
  lib/concurrent/slist.h
  lib/concurrent/ve_atomic_linux.h
  lib/serialisation/serialisation.h
  lib/transport/transport.h
  lib/vecommon/dynload.h
  lib/vecommon/hostinfo.h
  lib/vecommon/ve_flock.h
  lib/vecommon/ve_inttypes.h
  lib/vecommon/ve_logging.h
  lib/vecommon/ve_time.h
  lib/vecommon/ve_types.h
  src/client.h
  src/client_data.h
  src/common_context.h
  src/config_data.h
  src/dispatcher.h
  src/event_message.h
  src/heartbeat.h
  src/memory_pool.h
  src/preprocess.h
  src/register_message.h
  src/statistics.h)
foreach(header ${veska_private_headers})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veska/${folder} COMPONENT devel)
endforeach()

# libveska.so.1.0.0 with its links libveska.so.1 (SONAME) and libveska.so.
install(TARGETS veska EXPORT veskaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT devel)

# The private interface as its own imported target: its include folder also makes the
# top-level names ("types.h", "lib/...") visible, which plain consumers should not get.
add_library(veska_private_api INTERFACE)
set_target_properties(veska_private_api PROPERTIES EXPORT_NAME private_api)
target_link_libraries(veska_private_api INTERFACE veska)
target_include_directories(veska_private_api INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/veska>)
install(TARGETS veska_private_api EXPORT veskaTargets)

install(EXPORT veskaTargets NAMESPACE veska:: DESTINATION ${VESKA_INSTALL_CMAKEDIR}
  COMPONENT devel)
configure_package_config_file(cmake/veskaConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/veskaConfig.cmake
  INSTALL_DESTINATION ${VESKA_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/veskaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/veskaConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/veskaConfigVersion.cmake
  DESTINATION ${VESKA_INSTALL_CMAKEDIR} COMPONENT devel)

# veska.pc finds the prefix from its own folder: ${pcfiledir} climbed back over libdir.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(WARNING "veska.pc: absolute install folders make the package not relocatable")
  set(VESKA_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH veska_pc_up /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  string(REGEX REPLACE "/$" "" veska_pc_up "${veska_pc_up}")
  set(VESKA_PC_PREFIX "\${pcfiledir}/${veska_pc_up}")
endif()
configure_file(cmake/veska.pc.in ${CMAKE_CURRENT_BINARY_DIR}/veska.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/veska.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)

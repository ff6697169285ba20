# What `cmake --install` puts where:
#   lib/libevcomp.so*                 the library
#   lib/libevcomp-ssl.so*             the TLS socket (links OpenSSL)
#   include/evcomp/<dir>/<name>.h     every header of src/, same relative path
#   lib/cmake/evcomp/                 find_package(evcomp [COMPONENTS ssl])
#                                     -> evcomp::evcomp [, evcomp::ssl]
#   lib/pkgconfig/evcomp.pc           pkg-config --cflags --libs evcomp
#   lib/pkgconfig/evcomp-ssl.pc       pkg-config --cflags --libs evcomp-ssl
#   bin/                              the tools (see tools/CMakeLists.txt)
include(CMakePackageConfigHelpers)

set(EVC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/evcomp)

install(TARGETS evcomp evcomp_ssl EXPORT evcompTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Headers include each other by their path under src/ ("socket/WSocket.h"), so
# the installed tree keeps those paths below include/evcomp, which is what
# the library's install interface puts on the include path.
foreach(header ${EVC_HEADERS})
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/src/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/evcomp/${subdir})
endforeach()

install(EXPORT evcompTargets
  NAMESPACE evcomp::
  FILE evcompTargets.cmake
  DESTINATION ${EVC_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/evcompConfig.cmake.in
  ${CMAKE_BINARY_DIR}/evcompConfig.cmake
  INSTALL_DESTINATION ${EVC_CMAKE_DIR})
# Still 0.x: a new minor release may change the interface.
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/evcompConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/evcompConfig.cmake
  ${CMAKE_BINARY_DIR}/evcompConfigVersion.cmake
  DESTINATION ${EVC_CMAKE_DIR})

# The prefix is only known for certain when installing (`cmake --install
# build --prefix DIR` overrides the configured one), so evcomp.pc is written
# then, from the prefix actually used.
install(CODE "
  set(EVC_PC_VERSION \"${PROJECT_VERSION}\")
  set(EVC_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(EVC_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(EVC_PC_SOURCE \"${CMAKE_CURRENT_LIST_DIR}\")
  set(EVC_PC_OUTPUT \"${CMAKE_BINARY_DIR}/pkgconfig\")
")
install(CODE [[
  set(EVC_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  # Relative directories are written relative to ${prefix}, so that the file
  # stays right when the tree is moved with its prefix line edited.
  foreach(kind LIBDIR INCLUDEDIR)
    if(NOT IS_ABSOLUTE "${EVC_PC_${kind}}")
      set(EVC_PC_${kind} "\${prefix}/${EVC_PC_${kind}}")
    endif()
  endforeach()
  foreach(pc evcomp evcomp-ssl)
    configure_file("${EVC_PC_SOURCE}/${pc}.pc.in" "${EVC_PC_OUTPUT}/${pc}.pc" @ONLY)
  endforeach()
]])
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/evcomp.pc ${CMAKE_BINARY_DIR}/pkgconfig/evcomp-ssl.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installed tools find the installed library next to them, wherever the
# prefix is, without LD_LIBRARY_PATH.
if(EVC_TOOLS)
  get_property(evc_tool_targets DIRECTORY ${CMAKE_SOURCE_DIR}/tools PROPERTY BUILDSYSTEM_TARGETS)
  foreach(tool ${evc_tool_targets})
    get_target_property(kind ${tool} TYPE)
    if(kind STREQUAL "EXECUTABLE")
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    endif()
  endforeach()
endif()

# What `cmake --install` and the Debian packages carry, in three components:
#   runtime      libveltrane.so.1, librcpplus.so.1 and the picture-size parser module,
#                which the driver loads from its own folder
#   development  host headers under include/veltrane/, the .so links, pkg-config files and
#                the CMake package (find_package(veltrane) gives veltrane::veltrane)
#   tools        veltrane-rec and veltrane-devicesim in a folder of their own with the
#                device types and clips they read beside the real executable, links to them
#                in bin/, and the recorder's systemd unit
include(CMakePackageConfigHelpers)

set(VELTRANE_TOOL_DIR ${CMAKE_INSTALL_LIBDIR}/veltrane)
set(VELTRANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/veltrane)
set(VELTRANE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- libraries and headers ----

target_include_directories(veltrane INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS veltrane rcpplus EXPORT veltraneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT development)
# Loaded by file name, never linked: no soname, no link for developers.
install(TARGETS VozeDaroruvavuror
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/veltrane
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_SOURCE_DIR}/rcpplus/include/rcpplus/rcpplus.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veltrane/rcpplus COMPONENT development)

# ---- pkg-config and the CMake package ----

file(RELATIVE_PATH VELTRANE_PC_TO_PREFIX
  /prefix/${VELTRANE_PKGCONFIG_DIR} /prefix)
foreach(pc veltrane rcpplus)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc
    @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc
    DESTINATION ${VELTRANE_PKGCONFIG_DIR} COMPONENT development)
endforeach()

install(EXPORT veltraneTargets NAMESPACE veltrane::
  DESTINATION ${VELTRANE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/veltraneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/veltraneConfig.cmake
  INSTALL_DESTINATION ${VELTRANE_CMAKE_DIR})
# The interfaces' slot order is the ABI: a new major version breaks hosts.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/veltraneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/cmake/veltraneConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake/veltraneConfigVersion.cmake
  DESTINATION ${VELTRANE_CMAKE_DIR} COMPONENT development)

# ---- tools ----

set(VELTRANE_TOOLS veltrane-rec veltrane-devicesim)
# The recorder finds the driver on its run path, in the library folder above its own.
set_target_properties(${VELTRANE_TOOLS} PROPERTIES INSTALL_RPATH "$ORIGIN/..")
install(TARGETS ${VELTRANE_TOOLS} RUNTIME DESTINATION ${VELTRANE_TOOL_DIR} COMPONENT tools)

file(GLOB VELTRANE_INSTALL_DEVICE_TYPES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/devicetypes/*.xml)
file(GLOB VELTRANE_INSTALL_CLIPS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/devicesim/clips/*.263)
install(FILES ${VELTRANE_INSTALL_DEVICE_TYPES} DESTINATION ${VELTRANE_TOOL_DIR} COMPONENT tools)
install(FILES ${VELTRANE_INSTALL_CLIPS} DESTINATION ${VELTRANE_TOOL_DIR}/clips COMPONENT tools)

# Relative links, so that a staged tree or a package keeps working wherever it is unpacked;
# the programs resolve them through /proc/self/exe and read what sits beside the target.
file(RELATIVE_PATH VELTRANE_BIN_TO_TOOLS
  /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VELTRANE_TOOL_DIR})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
foreach(tool ${VELTRANE_TOOLS})
  file(CREATE_LINK ${VELTRANE_BIN_TO_TOOLS}/${tool} ${CMAKE_BINARY_DIR}/install-links/${tool}
    SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/${tool}
    DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endforeach()

# systemd looks for units under lib/ of the prefix, whatever the library folder is.
install(FILES ${CMAKE_SOURCE_DIR}/contrib/veltrane-rec.service
  DESTINATION lib/systemd/system COMPONENT tools)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools)
install(FILES ${CMAKE_SOURCE_DIR}/examples/host_example.cpp
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
if(EXISTS ${CMAKE_SOURCE_DIR}/examples/recorder.toml)
  install(FILES ${CMAKE_SOURCE_DIR}/examples/recorder.toml
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT tools)
endif()

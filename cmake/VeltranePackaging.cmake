# Debian packages, one per install component: `cpack -G DEB` in the build folder gives
# libveltrane1, libveltrane-dev and veltrane-tools.
set(CPACK_PACKAGE_NAME veltrane)
set(CPACK_PACKAGE_VENDOR "Veltrane")
set(CPACK_PACKAGE_CONTACT
  "Veltrane maintainers <maintainers@users.noreply.c-seed-2169b3d3.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# System libraries the binaries link come from dpkg-shlibdeps; the packages among
# themselves depend on the same version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VELTRANE_BIN_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libveltrane1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Each description's first line is the package's synopsis.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Capture driver for RCP+ IP cameras and video servers
libveltrane.so.1, the driver a recorder host loads, with the RCP+ client library and
the picture-size parser module it uses.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libveltrane-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Capture driver for RCP+ cameras: development files
Host headers, pkg-config files (veltrane, rcpplus), the CMake package
(find_package(veltrane)) and a host example.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME veltrane-tools)
# The service stops before its programs are removed.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/contrib/debian/veltrane-tools/postinst
  ${CMAKE_SOURCE_DIR}/contrib/debian/veltrane-tools/prerm
  ${CMAKE_SOURCE_DIR}/contrib/debian/veltrane-tools/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Video recorder and device simulator for RCP+ cameras
veltrane-rec records RCP+ cameras to files, as a command or as the systemd service
veltrane-rec.service; veltrane-devicesim plays a device on the local machine.")

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "Runtime library")
cpack_add_component(development DISPLAY_NAME "Development files" DEPENDS runtime)
cpack_add_component(tools DISPLAY_NAME "Recorder and simulator" DEPENDS runtime)

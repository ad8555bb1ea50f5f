# Release packages: BWCorvane and SCCorvane, the sample configuration and
# members lists, and a short how-to, in one folder. A Windows build makes a
# .zip, any other build a .tar.gz. `cpack` in a configured and built build
# folder makes one; scripts/package.sh builds both.

# The how-to names the server these programs were built for.
configure_file(${PROJECT_SOURCE_DIR}/packaging/HOWTO.txt.in
  ${PROJECT_BINARY_DIR}/packaging/HOWTO.txt @ONLY)

install(TARGETS BWCorvane SCCorvane RUNTIME DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/examples/configuration.txt
  ${PROJECT_SOURCE_DIR}/examples/bwmembers.txt
  ${PROJECT_SOURCE_DIR}/examples/scmembers.txt
  ${PROJECT_BINARY_DIR}/packaging/HOWTO.txt
  DESTINATION .)

set(CPACK_PACKAGE_NAME "Corvane")
set(CPACK_PACKAGE_VENDOR "The Corvane developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console chat bot that checks players' statistics")
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CORVANE_PACKAGE_SYSTEM "windows-${CMAKE_SYSTEM_PROCESSOR}")
else()
  set(CPACK_GENERATOR "TGZ")
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CORVANE_PACKAGE_SYSTEM)
endif()
set(CPACK_PACKAGE_FILE_NAME "Corvane-${PROJECT_VERSION}-${CORVANE_PACKAGE_SYSTEM}")
# Unpacks into a folder of the package's name.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

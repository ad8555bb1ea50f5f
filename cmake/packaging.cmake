# Release packages, made by `cpack` in a configured and built build folder
# (scripts/package.sh builds them all). CORVANE_PACKAGE_LAYOUT picks one of:
#
#   folder  BWCorvane and SCCorvane, the sample configuration and members
#           lists, a short how-to and the licence in one folder, packed as a
#           .zip for Windows (text files with CR LF, and run-forever.cmd) or
#           a .tar.gz for Linux (with the stand-in server chatd).
#   debian  a .deb: the two programs and chatd in /usr/bin, their manual
#           pages, the samples, the how-to, the changelog and the licence (as
#           copyright) in /usr/share/doc/corvane,
#           and for each program a systemd template service with its .path
#           and .timer units; maintainer scripts that stop and disable every
#           instance on removal and delete their folders on purge.

set(CORVANE_PACKAGE_LAYOUT "folder" CACHE STRING
  "Package layout: folder (.tar.gz, or .zip for Windows) or debian (.deb)")
set_property(CACHE CORVANE_PACKAGE_LAYOUT PROPERTY STRINGS folder debian)
if(NOT CORVANE_PACKAGE_LAYOUT MATCHES "^(folder|debian)$")
  message(FATAL_ERROR "CORVANE_PACKAGE_LAYOUT is folder or debian, not \"${CORVANE_PACKAGE_LAYOUT}\"")
endif()
if(CORVANE_PACKAGE_LAYOUT STREQUAL "debian" AND WIN32)
  message(FATAL_ERROR "CORVANE_PACKAGE_LAYOUT debian is for Linux builds")
endif()

set(corvane_staged ${PROJECT_BINARY_DIR}/packaging)
# Text files in the package end their lines with CR LF on Windows.
if(WIN32)
  set(corvane_newline CRLF)
else()
  set(corvane_newline UNIX)
endif()

# corvane_package_text(SOURCE NAME): SOURCE, unchanged but for its line ends,
# as ${corvane_staged}/NAME.
function(corvane_package_text source name)
  file(READ "${source}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  if(WIN32)
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  set(output "${corvane_staged}/${name}")
  set(old "")
  if(EXISTS "${output}")
    file(READ "${output}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${output}" "${text}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()

# The how-tos name the server these programs were built for, and tell how to
# try them against chatd when that is on this machine.
if(CORVANE_PACKAGE_LAYOUT STREQUAL "debian")
  set(corvane_run "")
else()
  set(corvane_run "./")
endif()
set(CORVANE_HOWTO_OFFLINE "")
if(NOT WIN32)
  if(CORVANE_SERVER_HOST STREQUAL "localhost" OR CORVANE_SERVER_HOST STREQUAL "127.0.0.1")
    set(corvane_chatd_text "These programs connect to this machine, port ${CORVANE_SERVER_PORT}, so they talk
to it: in one console start

    ${corvane_run}chatd --port ${CORVANE_SERVER_PORT}

and in another, in a folder holding configuration.txt and the members list,
start ${corvane_run}BWCorvane. It logs on, joins its channel and runs a whole
stats check with no network at all. Stop both with Ctrl-C.")
  else()
    set(corvane_chatd_text "These programs connect to ${CORVANE_SERVER_HOST},
so they do not talk to it; programs built for localhost do.")
  endif()
  set(CORVANE_HOWTO_OFFLINE "Trying it offline
-----------------
chatd is a stand-in chat server: it listens on 127.0.0.1 (TCP port 6112
unless given --port), takes any account, places a client in the channel
Chat, answers /join and /stats with made-up records and prints every line it
receives. ${corvane_run}chatd --help lists its options.

${corvane_chatd_text}

")
endif()

file(READ ${PROJECT_SOURCE_DIR}/LICENSE CORVANE_LICENSE_TEXT)
set(corvane_samples
  ${PROJECT_SOURCE_DIR}/examples/configuration.txt
  ${PROJECT_SOURCE_DIR}/examples/bwmembers.txt
  ${PROJECT_SOURCE_DIR}/examples/scmembers.txt)

set(CPACK_PACKAGE_NAME "Corvane")
set(CPACK_PACKAGE_VENDOR "The Corvane developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console chat bot that checks players' statistics")
set(CPACK_STRIP_FILES ON)

if(CORVANE_PACKAGE_LAYOUT STREQUAL "folder")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/HOWTO.txt.in ${corvane_staged}/HOWTO.txt
    @ONLY NEWLINE_STYLE ${corvane_newline})
  set(corvane_texts ${corvane_staged}/HOWTO.txt)
  foreach(source IN LISTS corvane_samples ITEMS ${PROJECT_SOURCE_DIR}/LICENSE)
    get_filename_component(name "${source}" NAME)
    corvane_package_text("${source}" "${name}")
    list(APPEND corvane_texts ${corvane_staged}/${name})
  endforeach()

  install(TARGETS BWCorvane SCCorvane RUNTIME DESTINATION .)
  if(WIN32)
    corvane_package_text(${PROJECT_SOURCE_DIR}/packaging/run-forever.cmd run-forever.cmd)
    list(APPEND corvane_texts ${corvane_staged}/run-forever.cmd)
  else()
    install(TARGETS chatd RUNTIME DESTINATION .)
  endif()
  install(FILES ${corvane_texts} DESTINATION .)

  if(WIN32)
    set(CPACK_GENERATOR "ZIP")
    set(corvane_system "windows-${CMAKE_SYSTEM_PROCESSOR}")
  else()
    set(CPACK_GENERATOR "TGZ")
    string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" corvane_system)
  endif()
  set(CPACK_PACKAGE_FILE_NAME "Corvane-${PROJECT_VERSION}-${corvane_system}")
  # Unpacks into a folder of the package's name.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(doc share/doc/corvane)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/HOWTO-debian.txt.in ${corvane_staged}/HOWTO.txt
    @ONLY NEWLINE_STYLE UNIX)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${corvane_staged}/copyright
    @ONLY NEWLINE_STYLE UNIX)
  # For each program: the service, the .path unit that restarts an instance
  # when its files change (through the -restart@ service), the .timer
  # that starts a stopped instance daily, and the -daily@ timer that
  # restarts a running one daily (through the -restart@ service too).
  set(units)
  foreach(CORVANE_UNIT_PROGRAM BWCorvane SCCorvane)
    string(TOLOWER ${CORVANE_UNIT_PROGRAM} CORVANE_UNIT_NAME)
    string(SUBSTRING ${CORVANE_UNIT_NAME} 0 2 corvane_game)
    set(CORVANE_UNIT_MEMBERS ${corvane_game}members.txt)
    # Instance names fit in a user name of 31 characters after "NAME-".
    string(LENGTH "${CORVANE_UNIT_NAME}-" corvane_used)
    math(EXPR CORVANE_UNIT_NAME_ROOM "31 - ${corvane_used}")
    foreach(unit @.service @.path @.timer -restart@.service -daily@.timer)
      configure_file(${PROJECT_SOURCE_DIR}/packaging/corvane${unit}.in
        ${corvane_staged}/${CORVANE_UNIT_NAME}${unit} @ONLY NEWLINE_STYLE UNIX)
      list(APPEND units ${corvane_staged}/${CORVANE_UNIT_NAME}${unit})
    endforeach()
  endforeach()

  # A native package's changelog, compressed as Debian wants it: gzip -9n
  # (no name or time in the header, so every build packs the same bytes).
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    OUTPUT_FILE ${corvane_staged}/changelog.gz RESULT_VARIABLE corvane_gzip)
  if(NOT corvane_gzip EQUAL 0)
    message(FATAL_ERROR "gzip of packaging/debian/changelog failed")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
  # Manual pages: one for both bots (SCCorvane's is a link to it) and one for
  # chatd, gzip -9n as well.
  foreach(page BWCorvane chatd)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/man/${page}.1.in ${corvane_staged}/man/${page}.1
      @ONLY NEWLINE_STYLE UNIX)
    execute_process(COMMAND gzip -9nc ${corvane_staged}/man/${page}.1
      OUTPUT_FILE ${corvane_staged}/man/${page}.1.gz RESULT_VARIABLE corvane_gzip)
    if(NOT corvane_gzip EQUAL 0)
      message(FATAL_ERROR "gzip of the manual page ${page}.1 failed")
    endif()
  endforeach()
  file(CREATE_LINK BWCorvane.1.gz ${corvane_staged}/man/SCCorvane.1.gz SYMBOLIC)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
    ${corvane_staged}/lintian-overrides/corvane COPYONLY)

  install(TARGETS BWCorvane SCCorvane chatd RUNTIME DESTINATION bin)
  install(FILES ${corvane_samples} ${corvane_staged}/HOWTO.txt ${corvane_staged}/copyright
    ${corvane_staged}/changelog.gz DESTINATION ${doc})
  install(FILES ${corvane_staged}/lintian-overrides/corvane DESTINATION share/lintian/overrides)
  install(FILES ${corvane_staged}/man/BWCorvane.1.gz ${corvane_staged}/man/SCCorvane.1.gz
    ${corvane_staged}/man/chatd.1.gz DESTINATION share/man/man1)
  # Where Debian 12's systemd looks for the units of packages.
  install(FILES ${units} DESTINATION /lib/systemd/system)

  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  set(CPACK_DEBIAN_PACKAGE_NAME "corvane")
  set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")  # corvane_1.0_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Corvane developers <corvane@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION "net")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvane.example.org/")
  # The first line of the Description is CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "BWCorvane and SCCorvane log on to a game network's chat server, join their
home channel and ask for the statistics of every player in a members list,
one request every five seconds, printing the answers and keeping them in a
result log. A systemd template unit for each runs it as a service, one
instance per folder, and restarts it when it ends. chatd, a stand-in chat
server, lets the bot be tried offline.
.
These programs connect to ${CORVANE_SERVER_HOST}, TCP port ${CORVANE_SERVER_PORT}.")
  # Stop and disable every instance on removal; delete their folders on purge.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Depends: from the libraries the programs are linked with.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)

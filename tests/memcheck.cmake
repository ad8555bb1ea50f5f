# With CORVANE_MEMCHECK on (the memcheck preset), the end-to-end tests start
# the programs through wrappers that run them under valgrind memcheck, each
# process writing its report to memcheck/<pid>.log in the build tree;
# scripts/test-reliability.sh reads the reports. Included by CMakeLists.txt.
option(CORVANE_MEMCHECK "Run the programs of the end-to-end tests under valgrind memcheck" OFF)
if(CORVANE_MEMCHECK)
  find_program(CORVANE_VALGRIND valgrind REQUIRED)
  set(CORVANE_MEMCHECK_LOGS "${CMAKE_BINARY_DIR}/memcheck")
  file(MAKE_DIRECTORY "${CORVANE_MEMCHECK_LOGS}")
  foreach(program BWCorvane_fast SCCorvane_fast)
    file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/memcheck-${program}"
      CONTENT "#!/bin/sh
exec ${CORVANE_VALGRIND} --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible --track-fds=no --error-exitcode=99 --log-file=${CORVANE_MEMCHECK_LOGS}/%p.log $<TARGET_FILE:${program}> \"$@\"
"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CORVANE_BW_FAST_COMMAND "${CMAKE_CURRENT_BINARY_DIR}/memcheck-BWCorvane_fast")
  set(CORVANE_SC_FAST_COMMAND "${CMAKE_CURRENT_BINARY_DIR}/memcheck-SCCorvane_fast")
endif()

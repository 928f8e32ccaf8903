# Tests that need a kernel with sound support run inside a qemu guest (tools/guest/run-in-guest).
#
# add_doka_guest_test(<name> [COMMAND <command> [<arg>...]] [LIBS <targets...>]
#                     [SOURCES <files...>] [LABELS <labels...>] [TIMEOUT <seconds>])
#
# With SOURCES, builds the GoogleTest executable <name> from them and LIBS; COMMAND then
# defaults to that executable. A command that names a target runs that target's file. The test
# is one CTest test labelled "guest"; it is SKIPPED where the guest cannot run (no qemu or no
# suitable kernel), never passed. The build tree is shared read-write with the guest.
set(DOKA_GUEST_RUNNER "${PROJECT_SOURCE_DIR}/tools/guest/run-in-guest")
set(DOKA_GUEST_UNAVAILABLE 125) # the runner's status when the guest cannot run here

function(add_doka_guest_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND;LIBS;SOURCES;LABELS" ${ARGN})
  if(ARG_SOURCES)
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    if(NOT ARG_COMMAND)
      set(ARG_COMMAND ${name})
    endif()
  endif()
  if(NOT ARG_COMMAND)
    message(FATAL_ERROR "add_doka_guest_test(${name}): COMMAND or SOURCES is needed")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 240)
  endif()

  list(POP_FRONT ARG_COMMAND program)
  if(TARGET ${program})
    set(program $<TARGET_FILE:${program}>)
  endif()
  add_test(NAME ${name}
    COMMAND ${DOKA_GUEST_RUNNER} --timeout ${ARG_TIMEOUT} --share ${CMAKE_BINARY_DIR}
            -- ${program} ${ARG_COMMAND})
  # CTest's own limit comes after the runner's, which stops the guest and keeps the output.
  math(EXPR ctest_timeout "${ARG_TIMEOUT} + 30")
  set_tests_properties(${name} PROPERTIES
    LABELS "guest;${ARG_LABELS}"
    SKIP_RETURN_CODE ${DOKA_GUEST_UNAVAILABLE}
    TIMEOUT ${ctest_timeout})
endfunction()

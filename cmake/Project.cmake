# Shared compile settings and the helper that registers a test program.

function(skan_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
endfunction()

# skan_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#               [DRIVER <command...>])
# Builds a GoogleTest program and registers it with CTest. On the Windows build
# CTest runs it through the Wine emulator set by the toolchain file. With
# DRIVER, CTest runs `<command...> [emulator] <program>` instead.
function(skan_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;DRIVER" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  skan_warnings(${name})
  if(T_DRIVER)
    # The driver runs the program (under Wine for the Windows build) and
    # checks what it left behind.
    add_test(NAME ${name} COMMAND ${T_DRIVER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(WIN32)
    set(labels wine ${T_LABELS})
  else()
    set(labels native ${T_LABELS})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()

# skan_add_e2e_test(<name> COMMAND <args...> [WORKING_DIRECTORY <dir>] [LABELS <labels...>]
#                   [TIMEOUT <seconds>] [FIXTURES <fixture>] [ENVIRONMENT <VAR=value...>])
# Registers an end-to-end test: real programs driven by a script. Such tests
# run alone (they share the display and the Wine prefix); on the Windows build
# they are labelled wine and e2e besides LABELS. TIMEOUT defaults to 300 s.
function(skan_add_e2e_test name)
  cmake_parse_arguments(PARSE_ARGV 1 E "" "WORKING_DIRECTORY;TIMEOUT;FIXTURES" "COMMAND;LABELS;ENVIRONMENT")
  if(NOT E_COMMAND)
    message(FATAL_ERROR "skan_add_e2e_test(${name}): COMMAND is required")
  endif()
  set(where)
  if(E_WORKING_DIRECTORY)
    set(where WORKING_DIRECTORY ${E_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${name} COMMAND ${E_COMMAND} ${where})
  if(WIN32)
    set(labels wine e2e ${E_LABELS})
  else()
    set(labels ${E_LABELS})
  endif()
  if(NOT E_TIMEOUT)
    set(E_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${E_TIMEOUT} RUN_SERIAL TRUE)
  if(E_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED ${E_FIXTURES})
  endif()
  if(E_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${E_ENVIRONMENT}")
  endif()
endfunction()

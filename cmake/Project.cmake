# Shared compile settings and the helper that registers a test program.

function(skan_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
endfunction()

# skan_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Builds a GoogleTest program and registers it with CTest. On the Windows build
# CTest runs it through the Wine emulator set by the toolchain file.
function(skan_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  skan_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(WIN32)
    set(labels wine ${T_LABELS})
  else()
    set(labels native ${T_LABELS})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()

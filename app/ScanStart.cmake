# Scan start and page naming (included from CMakeLists.txt).
add_library(skan_page_naming STATIC page_naming.cpp)
target_include_directories(skan_page_naming PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
skan_warnings(skan_page_naming)
skan_add_test(page_naming_test SOURCES tests/page_naming_test.cpp LIBS skan_page_naming)

if(WIN32)
  add_library(scan_start STATIC scan_start.cpp)
  target_include_directories(scan_start PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(scan_start PUBLIC twain skan_page_naming ui)
  skan_warnings(scan_start)

  skan_add_test(scan_start_test SOURCES tests/scan_start_test.cpp LIBS scan_start fake_dsm LABELS twain)
  # With Wine's own TWAIN_32.DLL and the virtual scanner installed in the prefix.
  skan_add_test(scan_start_dsm_test SOURCES tests/scan_start_dsm_test.cpp LIBS scan_start virtual_scanner_core LABELS twain)
  add_dependencies(scan_start_dsm_test virtual_scanner)
  target_include_directories(scan_start_dsm_test PRIVATE ${PROJECT_SOURCE_DIR}/virtual_scanner/tests)
  target_compile_definitions(scan_start_dsm_test PRIVATE
    VIRTUAL_SCANNER_DS="$<TARGET_FILE:virtual_scanner>")
  set_tests_properties(scan_start_dsm_test PROPERTIES RESOURCE_LOCK twain_32_folder)
endif()

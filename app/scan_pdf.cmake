# Scan-to-PDF pieces of the main window: the Base64 export (portable), PDF
# assembly and scan completion (Windows). Included from pdf/CMakeLists.txt so
# the window's own CMakeLists stays untouched; Skanowanie links scan_pdf.
set(SKAN_APP_DIR ${CMAKE_SOURCE_DIR}/app)

add_library(scan_export STATIC ${SKAN_APP_DIR}/encode_file.cpp)
target_include_directories(scan_export PUBLIC ${SKAN_APP_DIR})
target_link_libraries(scan_export PUBLIC skan_base)
skan_warnings(scan_export)
if(WIN32)
  target_link_libraries(scan_export PUBLIC ui)
endif()

skan_add_test(encode_file_test SOURCES ${SKAN_APP_DIR}/tests/encode_file_test.cpp LIBS scan_export LABELS pdf)

if(WIN32)
  add_library(scan_pdf STATIC
    ${SKAN_APP_DIR}/create_valid_pdf.cpp
    ${SKAN_APP_DIR}/scan_completion.cpp
    ${SKAN_APP_DIR}/page_pipeline.cpp)
  target_include_directories(scan_pdf PUBLIC ${SKAN_APP_DIR} ${CMAKE_SOURCE_DIR})
  target_link_libraries(scan_pdf PUBLIC pdf_binding scan_export skan_base dib_reader ui gdi32)
  skan_warnings(scan_pdf)

  # Beside pdfwriter.dll and Skanowanie.exe, so the real library is loaded.
  skan_add_test(scan_pdf_test
    SOURCES ${SKAN_APP_DIR}/tests/scan_pdf_test.cpp
    LIBS scan_pdf pdfwriter_core pdfwriter_test_util
    LABELS pdf)
  target_include_directories(scan_pdf_test PRIVATE ${CMAKE_SOURCE_DIR}/pdfwriter/tests ${CMAKE_SOURCE_DIR}/dib/tests)
  set_target_properties(scan_pdf_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/app)
  add_dependencies(scan_pdf_test pdfwriter)
  set(SKAN_PDF_OUT ${CMAKE_BINARY_DIR}/pdf-out)
  target_compile_definitions(scan_pdf_test PRIVATE SKAN_PDF_OUT="${SKAN_PDF_OUT}")
  set_tests_properties(scan_pdf_test PROPERTIES FIXTURES_SETUP pdf_out)

  # Other readers accept every PDF the library wrote in the test above.
  add_test(NAME pdf_readers_check COMMAND bash ${CMAKE_SOURCE_DIR}/pdf/tests/check_pdfs.sh ${SKAN_PDF_OUT})
  set_tests_properties(pdf_readers_check PROPERTIES FIXTURES_REQUIRED pdf_out LABELS "pdf" TIMEOUT 120)
  # Pages rendered back equal the bitmaps they were made from.
  add_test(NAME pdf_pixels_check COMMAND bash ${CMAKE_SOURCE_DIR}/pdf/tests/check_pixels.sh ${SKAN_PDF_OUT})
  set_tests_properties(pdf_pixels_check PROPERTIES FIXTURES_REQUIRED pdf_out LABELS "pdf" TIMEOUT 120)
endif()

if(WIN32)
  # bench/pdf/run.sh: the assembly alone, timed (not built by default).
  add_executable(pdf_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/pdf/pdf_bench.cpp)
  target_link_libraries(pdf_bench PRIVATE scan_pdf psapi)
  target_link_options(pdf_bench PRIVATE -municode)
  set_target_properties(pdf_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/app)
  add_dependencies(pdf_bench pdfwriter)
  skan_warnings(pdf_bench)
endif()

if(WIN32 AND TARGET Skanowanie)
  # The host loads pdfwriter.dll from its own folder at every scan completion.
  add_dependencies(Skanowanie pdfwriter)
endif()

# The host executable.
add_executable(Skanowanie WIN32
  main.cpp
  main_window.cpp
  Skanowanie.rc)
target_link_libraries(Skanowanie PRIVATE skan_core ui skan_share_action scan_start scan_pdf pdfview_win comdlg32)
target_link_options(Skanowanie PRIVATE -municode)
skan_warnings(Skanowanie)

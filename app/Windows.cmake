# The host executable.
add_executable(Skanowanie WIN32
  main.cpp
  main_window.cpp
  Skanowanie.rc)
target_link_libraries(Skanowanie PRIVATE skan_core ui skan_share_action scan_start scan_pdf pdfview_win comdlg32)
# Large-address-aware: under 64-bit Windows the 32-bit host gets 4 GB of
# address space instead of 2 GB, room for thousands of share connections.
target_link_options(Skanowanie PRIVATE -municode -Wl,--large-address-aware)
skan_warnings(Skanowanie)

# The flag is in the built executable's header.
add_test(NAME host_large_address_aware
         COMMAND sh -c "'${CMAKE_OBJDUMP}' -p \"$0\" | grep -q 'large address aware'" $<TARGET_FILE:Skanowanie>)
set_tests_properties(host_large_address_aware PROPERTIES LABELS "share")

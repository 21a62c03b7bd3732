// Whole reads and writes on an open Windows file handle: ReadFile and
// WriteFile may move fewer bytes than asked, and these go on until all are.
#pragma once

#include <windows.h>

#include <cstddef>

namespace skan::base {

// Reads exactly `size` bytes. False when it cannot, with the thread's last
// error set (ERROR_HANDLE_EOF when the file ends first).
bool ReadExactly(HANDLE file, void* data, std::size_t size);

// Writes all `size` bytes. False when it cannot, with the thread's last error
// set (ERROR_WRITE_FAULT when the system takes nothing and says nothing).
bool WriteAll(HANDLE file, const void* data, std::size_t size);

}  // namespace skan::base

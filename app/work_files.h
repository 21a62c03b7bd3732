// Work files: what the host writes under a name of its own before it becomes
// a file of its own list (the PDF drawn while the pages come, the Base64
// export under way). A host killed while writing one (a browser kills the
// host about 2 s after its page goes) leaves it behind, so every work file's
// name says which host made it: "skw", the process id, its start time and a
// number, ".tmp". A later host removes those of hosts no longer running and
// leaves those of hosts running beside it (one per browser tab).
#pragma once

#include <cstddef>
#include <string>

namespace skan {

// A new, empty work file in `folder` (ending in '\'); its full path. Raises
// std::runtime_error with the system's message when it cannot be made.
std::wstring MakeWorkFile(const std::wstring& folder);

// Removes the work files in `folder` (ending in '\') whose host is not running
// and that nothing holds open; how many went.
size_t RemoveStaleWorkFiles(const std::wstring& folder);

// The same in the temporary folder `temp` and in each request folder of its
// "scan\" folder, where exports are written.
size_t RemoveStaleWorkFilesUnder(const std::wstring& temp);

// True when `name` (a file name without its folder) is a work file's name
// made by the host with the process id `pid` started at `start` (as
// GetProcessTimes reports it, in 100 ns units).
bool ParseWorkFileName(const std::wstring& name, unsigned long& pid, unsigned long long& start);

}  // namespace skan

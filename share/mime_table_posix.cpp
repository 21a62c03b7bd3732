// The operating system's MIME database outside Windows: a mime.types file.
#include "share/mime_table.h"

namespace skan::share {

void OverlayOSMimeTypes(TMimeLines& lines, const std::filesystem::path& mimeTypesFile) {
  OverlayMimeTypesFile(lines, mimeTypesFile);
}

}  // namespace skan::share

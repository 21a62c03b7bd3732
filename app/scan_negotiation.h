// Scan settings negotiated with a TWAIN source, what it offers for each, and
// the sources the source manager lists. Portable: tested natively with the
// fake source manager.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "custom_twain_manager.h"
#include "scan_settings.h"
#include "twain_source.h"

namespace skan {

// Sets each requested setting on an open source that is not enabled (TWAIN
// state 4), in the order the TWAIN standard asks for: the feeder before
// duplex and paper size (they depend on it), units before resolution, pixel
// type before bit depth before resolution, and the transfer count last. Each
// one is read back after it is set; the first one the source refuses or
// changes comes back with what the source offers for it. Nothing at all when
// every setting holds.
std::optional<TSettingProblem> NegotiateScanSettings(twain::TTwainSource& source, const TScanSettings& settings);

// What an open source offers for the settings, read from its capabilities.
TScannerCaps ReadScannerCaps(twain::TTwainSource& source);

// The sources the manager lists, the default one marked; its ids are their
// ProductNames.
std::vector<TScannerInfo> ListScanners(twain::TCustomTwainManager& manager);

// The position of the source with this id, the default source for an empty
// id; -1 when there is none. Sources are found by name: opening one changes
// its record's Id under some source managers (Wine's).
int FindScanner(twain::TCustomTwainManager& manager, const std::string& id);

}  // namespace skan

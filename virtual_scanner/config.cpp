#include "config.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace skan::virtual_scanner {
namespace {

std::string Trim(std::string s) {
  auto space = [](unsigned char c) { return std::isspace(c) != 0; };
  s.erase(s.begin(), std::find_if_not(s.begin(), s.end(), space));
  s.erase(std::find_if_not(s.rbegin(), s.rend(), space).base(), s.end());
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void ReadInt(const std::string& v, int& out, int lo, int hi) {
  int n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec == std::errc() && p == v.data() + v.size() && n >= lo && n <= hi) out = n;
}

// A comma-separated list of resolutions of 50 to 1200; a bad item leaves the
// list as it was.
void ReadResolutions(const std::string& v, std::vector<int>& out) {
  std::vector<int> list;
  size_t start = 0;
  while (start <= v.size()) {
    const size_t comma = std::min(v.find(',', start), v.size());
    int n = -1;
    ReadInt(v.substr(start, comma - start), n, 50, 1200);
    if (n < 0) return;
    list.push_back(n);
    start = comma + 1;
  }
  out = std::move(list);
}

}  // namespace

TScannerConfig ParseConfig(const std::string& text) {
  TScannerConfig c;
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      inSection = Lower(line) == "[scanner]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    const std::string lv = Lower(value);
    const bool yes = lv == "1" || lv == "yes" || lv == "true";
    if (key == "unattended")
      c.unattended = yes;
    else if (key == "pages")
      ReadInt(value, c.pages, 1, 9999);
    else if (key == "resolution")
      ReadInt(value, c.resolution, 50, 1200);
    else if (key == "cancelatpage")
      ReadInt(value, c.cancelAtPage, 0, 9999);
    else if (key == "failpage")
      ReadInt(value, c.failPage, 0, 9999);
    else if (key == "indeterminate")
      c.indeterminate = yes;
    else if (key == "closerequest")
      c.closeRequest = yes;
    else if (key == "nativebitfields")
      c.nativeBitfields = yes;
    else if (key == "imagefolder")
      c.imageFolder = value;
    else if (key == "membuffersize")
      ReadInt(value, c.memBufferSize, 0, 16 << 20);
    else if (key == "nopixelflavor")
      c.noPixelFlavor = yes;
    else if (key == "pagedelay")
      ReadInt(value, c.pageDelayMs, 0, 600000);
    else if (key == "duplex")
      c.duplex = yes;
    else if (key == "resolutions")
      ReadResolutions(value, c.resolutions);
    else if (key == "palette8fails")
      c.palette8Fails = yes;
    else if (key == "failkeepspending")
      c.failKeepsPending = yes;
    else if (key == "nofiletransfer")
      c.noFileTransfer = yes;
    else if (key == "nonativetransfer")
      c.noNativeTransfer = yes;
    else if (key == "memrowsunpadded")
      c.memRowsUnpadded = yes;
    else if (key == "fileclrused0")
      c.fileClrUsed0 = yes;
    else if (key == "filetopdown")
      c.fileTopDown = yes;
    else if (key == "filev5header")
      c.fileV5Header = yes;
    else if (key == "pixeltype") {
      if (lv == "rgb" || lv == "color" || lv == "colour")
        c.pixelType = TPixelType::Rgb;
      else if (lv == "gray" || lv == "grey")
        c.pixelType = TPixelType::Gray;
      else if (lv == "bw")
        c.pixelType = TPixelType::BlackWhite;
      else if (lv == "palette")
        c.pixelType = TPixelType::Palette;
    }
  }
  return c;
}

}  // namespace skan::virtual_scanner

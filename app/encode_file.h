// The Base64 export of a scan's PDF: standard Base64 (RFC 4648, section 4)
// in lines of 76 characters separated by CR LF.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace skan {

// Base64 text of `bytes`, CR LF after every complete 76-character line (also
// when the text ends there); the last, shorter line has none.
std::string Base64Lines(std::string_view bytes);

// Reads the whole file (denying others write access meanwhile) and returns
// Base64Lines of its bytes. Raises std::runtime_error with the UTF-8 text
// "Cannot open file "<path>". <system message>" when it cannot be read.
std::string EncodeFile(const std::filesystem::path& filename);

// Cuts a text into lines at CR LF, a lone CR or a lone LF; a break at the very
// end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);

// The export file's bytes: every line followed by CR LF.
std::string JoinLinesCrLf(const std::vector<std::string>& lines);

}  // namespace skan

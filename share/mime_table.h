// File extension to media type, from a built-in list overlaid with the
// operating system's MIME database (the registry on Windows, a mime.types
// file elsewhere).
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace skan::share {

// Ordered "extension=type" lines; setting an extension replaces its first
// line or adds one at the end.
class TMimeLines {
 public:
  void Add(std::string line);
  void Set(std::string_view extension, std::string_view type);
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
  std::unordered_map<std::string, std::size_t> first_;  // lower-case extension -> its first line
};

class TMimeTable {
 public:
  bool LoadTypesFromOS = true;
  // Where the mime.types overlay is read on systems without the registry.
  std::filesystem::path MimeTypesFile = "/etc/mime.types";

  // The media type for a file name's extension, or "application/octet-stream".
  // Builds the table at the first miss.
  std::string GetFileMIMEType(std::string_view fileName);
  bool IsBuilt() const { return built_; }

 private:
  void Build();
  void Load(const TMimeLines& lines);

  std::vector<std::string> extensions_;
  std::vector<std::string> types_;
  std::unordered_map<std::string, std::size_t> index_;
  bool built_ = false;
};

// The table shared by a server's connection threads: every lookup, and the
// build that the first miss triggers, runs under one lock.
class TThreadSafeMimeTable {
 public:
  std::string GetFileMIMEType(std::string_view fileName) {
    std::lock_guard<std::mutex> guard(lock_);
    return table_.GetFileMIMEType(fileName);
  }
  // Settings are changed only before the first lookup.
  TMimeTable& Unsafe() { return table_; }

 private:
  std::mutex lock_;
  TMimeTable table_;
};

// The extension of a file name: from the last "." after the last folder
// separator, dot included, lower case; empty when there is none.
std::string FileExtension(std::string_view fileName);

// The built-in "extension=type" lines, in their fixed order.
const std::vector<const char*>& BuiltInMimeLines();

// Adds the operating system's entries to lines (implemented per platform).
void OverlayOSMimeTypes(TMimeLines& lines, const std::filesystem::path& mimeTypesFile);
// Reads a mime.types file ("type ext ext ..." per line, "#" comments).
void OverlayMimeTypesFile(TMimeLines& lines, const std::filesystem::path& file);

}  // namespace skan::share

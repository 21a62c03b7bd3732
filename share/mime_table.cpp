#include "share/mime_table.h"

#include <fstream>
#include <sstream>

#include "share/text.h"

namespace skan::share {

namespace {

// Common types; the operating system's database overrides any of them.
const std::vector<const char*> kBuiltIn = {
    ".323=text/h323",
    ".3g2=video/3gpp2",
    ".3gp=video/3gpp",
    ".7z=application/x-7z-compressed",
    ".aac=audio/aac",
    ".ai=application/postscript",
    ".aif=audio/x-aiff",
    ".aifc=audio/x-aiff",
    ".aiff=audio/x-aiff",
    ".apk=application/vnd.android.package-archive",
    ".asc=text/plain",
    ".asf=video/x-ms-asf",
    ".asx=video/x-ms-asf",
    ".au=audio/basic",
    ".avi=video/x-msvideo",
    ".avif=image/avif",
    ".bat=application/x-msdos-program",
    ".bin=application/octet-stream",
    ".bmp=image/bmp",
    ".bz2=application/x-bzip2",
    ".c=text/x-csrc",
    ".cab=application/vnd.ms-cab-compressed",
    ".cat=application/vnd.ms-pki.seccat",
    ".cer=application/x-x509-ca-cert",
    ".class=application/java-vm",
    ".cpp=text/x-c++src",
    ".crl=application/pkix-crl",
    ".crt=application/x-x509-ca-cert",
    ".css=text/css",
    ".csv=text/csv",
    ".deb=application/vnd.debian.binary-package",
    ".der=application/x-x509-ca-cert",
    ".dib=image/bmp",
    ".dll=application/x-msdownload",
    ".doc=application/msword",
    ".docm=application/vnd.ms-word.document.macroenabled.12",
    ".docx=application/vnd.openxmlformats-officedocument.wordprocessingml.document",
    ".dot=application/msword",
    ".dotx=application/vnd.openxmlformats-officedocument.wordprocessingml.template",
    ".dtd=application/xml-dtd",
    ".dvi=application/x-dvi",
    ".eml=message/rfc822",
    ".eot=application/vnd.ms-fontobject",
    ".eps=application/postscript",
    ".epub=application/epub+zip",
    ".etx=text/x-setext",
    ".exe=application/x-msdownload",
    ".flac=audio/flac",
    ".flv=video/x-flv",
    ".gif=image/gif",
    ".gtar=application/x-gtar",
    ".gz=application/x-gzip",
    ".h=text/x-chdr",
    ".hpp=text/x-c++hdr",
    ".hqx=application/mac-binhex40",
    ".hta=application/hta",
    ".htc=text/x-component",
    ".htm=text/html",
    ".html=text/html",
    ".ico=image/x-icon",
    ".ics=text/calendar",
    ".ief=image/ief",
    ".iso=application/x-iso9660-image",
    ".jar=application/java-archive",
    ".java=text/x-java",
    ".jfif=image/pjpeg",
    ".jp2=image/jp2",
    ".jpe=image/jpeg",
    ".jpeg=image/jpeg",
    ".jpg=image/jpeg",
    ".js=application/x-javascript",
    ".json=application/json",
    ".jsonld=application/ld+json",
    ".kml=application/vnd.google-earth.kml+xml",
    ".kmz=application/vnd.google-earth.kmz",
    ".latex=application/x-latex",
    ".lha=application/x-lha",
    ".lzh=application/x-lzh",
    ".m3u=audio/x-mpegurl",
    ".m4a=audio/mp4",
    ".m4v=video/x-m4v",
    ".man=application/x-troff-man",
    ".md=text/markdown",
    ".mdb=application/x-msaccess",
    ".mht=message/rfc822",
    ".mhtml=message/rfc822",
    ".mid=audio/mid",
    ".midi=audio/mid",
    ".mjs=text/javascript",
    ".mkv=video/x-matroska",
    ".mov=video/quicktime",
    ".mp2=video/mpeg",
    ".mp3=audio/mpeg",
    ".mp4=video/mp4",
    ".mpa=video/mpeg",
    ".mpe=video/mpeg",
    ".mpeg=video/mpeg",
    ".mpg=video/mpeg",
    ".msg=application/vnd.ms-outlook",
    ".msi=application/x-msi",
    ".odg=application/vnd.oasis.opendocument.graphics",
    ".odp=application/vnd.oasis.opendocument.presentation",
    ".ods=application/vnd.oasis.opendocument.spreadsheet",
    ".odt=application/vnd.oasis.opendocument.text",
    ".oga=audio/ogg",
    ".ogg=audio/ogg",
    ".ogv=video/ogg",
    ".otf=font/otf",
    ".p10=application/pkcs10",
    ".p12=application/x-pkcs12",
    ".p7b=application/x-pkcs7-certificates",
    ".p7c=application/pkcs7-mime",
    ".p7m=application/pkcs7-mime",
    ".p7s=application/pkcs7-signature",
    ".pbm=image/x-portable-bitmap",
    ".pdf=application/pdf",
    ".pem=application/x-pem-file",
    ".pfx=application/x-pkcs12",
    ".pgm=image/x-portable-graymap",
    ".php=application/x-httpd-php",
    ".pl=text/x-perl",
    ".png=image/x-png",
    ".pnm=image/x-portable-anymap",
    ".pot=application/vnd.ms-powerpoint",
    ".ppm=image/x-portable-pixmap",
    ".pps=application/vnd.ms-powerpoint",
    ".ppt=application/vnd.ms-powerpoint",
    ".pptx=application/vnd.openxmlformats-officedocument.presentationml.presentation",
    ".ps=application/postscript",
    ".psd=image/vnd.adobe.photoshop",
    ".py=text/x-python",
    ".qt=video/quicktime",
    ".ra=audio/x-pn-realaudio",
    ".ram=audio/x-pn-realaudio",
    ".rar=application/x-rar-compressed",
    ".ras=image/x-cmu-raster",
    ".rgb=image/x-rgb",
    ".rm=application/vnd.rn-realmedia",
    ".rmi=audio/mid",
    ".rpm=application/x-rpm",
    ".rss=application/rss+xml",
    ".rtf=application/rtf",
    ".rtx=text/richtext",
    ".sh=application/x-sh",
    ".sit=application/x-stuffit",
    ".snd=audio/basic",
    ".sql=application/sql",
    ".svg=image/svg+xml",
    ".svgz=image/svg+xml",
    ".swf=application/x-shockwave-flash",
    ".tar=application/x-tar",
    ".tcl=application/x-tcl",
    ".tex=application/x-tex",
    ".texi=application/x-texinfo",
    ".tgz=application/x-compressed",
    ".tif=image/x-tiff",
    ".tiff=image/tiff",
    ".torrent=application/x-bittorrent",
    ".tsv=text/tab-separated-values",
    ".ttf=font/ttf",
    ".txt=text/plain",
    ".uu=text/x-uuencode",
    ".vcf=text/x-vcard",
    ".vsd=application/vnd.visio",
    ".wasm=application/wasm",
    ".wav=audio/wav",
    ".weba=audio/webm",
    ".webm=video/webm",
    ".webp=image/webp",
    ".wma=audio/x-ms-wma",
    ".wmf=image/x-wmf",
    ".wmv=video/x-ms-wmv",
    ".woff=font/woff",
    ".woff2=font/woff2",
    ".wps=application/vnd.ms-works",
    ".wri=application/x-mswrite",
    ".xbm=image/x-xbitmap",
    ".xht=application/xhtml+xml",
    ".xhtml=application/xhtml+xml",
    ".xla=application/vnd.ms-excel",
    ".xls=application/vnd.ms-excel",
    ".xlsm=application/vnd.ms-excel.sheet.macroenabled.12",
    ".xlsx=application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
    ".xml=text/xml",
    ".xpm=image/x-xpixmap",
    ".xps=application/vnd.ms-xpsdocument",
    ".xsl=text/xml",
    ".xwd=image/x-xwindowdump",
    ".yaml=application/x-yaml",
    ".z=application/x-compress",
    ".zip=application/x-zip-compressed",
};

}  // namespace

const std::vector<const char*>& BuiltInMimeLines() { return kBuiltIn; }

void TMimeLines::Add(std::string line) {
  std::string ext = AsciiLower(std::string_view(line).substr(0, line.find('=')));
  first_.emplace(ext, lines_.size());
  lines_.push_back(std::move(line));
}

void TMimeLines::Set(std::string_view extension, std::string_view type) {
  std::string line = std::string(extension) + "=" + std::string(type);
  auto it = first_.find(AsciiLower(extension));
  if (it != first_.end())
    lines_[it->second] = std::move(line);
  else
    Add(std::move(line));
}

std::string FileExtension(std::string_view fileName) {
#ifdef _WIN32
  std::size_t sep = fileName.find_last_of("\\/:");
#else
  std::size_t sep = fileName.find_last_of('/');
#endif
  std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || (sep != std::string_view::npos && dot < sep)) return {};
  return AsciiLower(fileName.substr(dot));
}

void TMimeTable::Load(const TMimeLines& lines) {
  for (const std::string& line : lines.Lines()) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string ext = AsciiLower(std::string_view(line).substr(0, eq));
    std::string type = AsciiLower(std::string_view(line).substr(eq + 1));
    if (ext.empty() || type.empty()) continue;
    if (ext[0] != '.') ext.insert(0, 1, '.');
    if (index_.count(ext)) continue;
    index_.emplace(ext, extensions_.size());
    extensions_.push_back(ext);
    types_.push_back(type);
  }
}

void TMimeTable::Build() {
  built_ = true;
  TMimeLines lines;
  for (const char* l : kBuiltIn) lines.Add(l);
  if (LoadTypesFromOS) OverlayOSMimeTypes(lines, MimeTypesFile);
  extensions_.clear();
  types_.clear();
  index_.clear();
  Load(lines);
}

std::string TMimeTable::GetFileMIMEType(std::string_view fileName) {
  std::string ext = FileExtension(fileName);
  auto it = index_.find(ext);
  if (it == index_.end() && !built_) {
    Build();
    it = index_.find(ext);
  }
  return it != index_.end() ? types_[it->second] : "application/octet-stream";
}

void OverlayMimeTypesFile(TMimeLines& lines, const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type, ext;
    if (!(words >> type)) continue;
    type = AsciiLower(type);
    while (words >> ext) {
      ext = AsciiLower(ext);
      if (ext[0] != '.') ext.insert(0, 1, '.');
      lines.Set(ext, type);
    }
  }
}

}  // namespace skan::share

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "share/errors.h"
#include "share/snapshot.h"

namespace skan::share {

namespace {

[[noreturn]] void Fail(const std::filesystem::path& source, int code) {
  throw TShareException("Cannot copy " + source.string() + " for sharing: " + std::strerror(code));
}

}  // namespace

TFileSnapshot::TFileSnapshot(const std::filesystem::path& source) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail(source, errno);
  std::error_code ec;
  std::string name = (std::filesystem::temp_directory_path(ec) / "skanshare-XXXXXX").string();
  const int out = ::mkstemp(name.data());
  if (out < 0) {
    const int code = errno;
    ::close(in);
    Fail(source, code);
  }
  path_ = name;
  std::vector<char> buf(1 << 20);
  int code = 0;
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) code = errno;
    if (n <= 0) break;
    for (ssize_t done = 0; done < n && code == 0;) {
      const ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        code = w < 0 ? errno : EIO;
      else
        done += w;
    }
    if (code) break;
  }
  ::close(in);
  if (::close(out) != 0 && code == 0) code = errno;
  if (code) {
    ::unlink(name.c_str());
    Fail(source, code);
  }
}

TFileSnapshot::~TFileSnapshot() { ::unlink(path_.c_str()); }

}  // namespace skan::share

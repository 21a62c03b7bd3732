// Benchmark baseline: a minimal Windows program that answers each framed
// message on standard input with a fixed framed reply, with blocking reads
// on the GUI-less main thread. Its round trip is the floor that Wine's pipes
// and process plumbing set for any host.
#include <windows.h>

#include <cstdint>
#include <string>

namespace skan::tests {

namespace {

bool ReadExact(HANDLE in, char* buffer, DWORD size) {
  while (size > 0) {
    DWORD n = 0;
    if (!ReadFile(in, buffer, size, &n, nullptr) || n == 0) return false;
    buffer += n;
    size -= n;
  }
  return true;
}

}  // namespace

int Main() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
  const std::string reply = R"({"POL":"IFSCANED","SCANED": ""})";
  std::string framed(4, '\0');
  for (int i = 0; i < 4; ++i) framed[i] = static_cast<char>((reply.size() >> (8 * i)) & 0xFF);
  framed += reply;
  for (;;) {
    unsigned char prefix[4];
    if (!ReadExact(in, reinterpret_cast<char*>(prefix), 4)) return 0;
    uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (uint32_t(prefix[3]) << 24);
    std::string body(n, '\0');
    if (!ReadExact(in, body.data(), n)) return 0;
    if (body.find("END") != std::string::npos) return 0;
    DWORD written;
    WriteFile(out, framed.data(), static_cast<DWORD>(framed.size()), &written, nullptr);
  }
}
}  // namespace skan::tests

int main() { return skan::tests::Main(); }

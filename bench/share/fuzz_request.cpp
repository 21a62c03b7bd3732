// libFuzzer target: one connection's bytes through request reading, dispatch
// and the file answer, over an in-memory connection.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "share/http_server.h"

namespace skan::bench {

using namespace share;

namespace {

THTTPServer& Server() {
  static THTTPServer* server = [] {
    auto* s = new THTTPServer;
    s->MIMETable().Unsafe().LoadTypesFromOS = false;
    static std::filesystem::path file = std::filesystem::temp_directory_path() / "fuzz_request.pdf";
    std::ofstream(file, std::ios::binary) << "%PDF-1.4\n%%EOF\n";
    s->OnCommandGet = [](TContext& c, THTTPRequestInfo& rq, THTTPResponseInfo& rs) {
      rs.CustomHeaders.push_back("Access-Control-Allow-Origin: *");
      // Something that depends on the request, so that odd values reach the answer.
      if (rq.Params.size() == 3) throw std::runtime_error(rq.Document);
      rs.ServeFile(c, rq.QueryParams == "missing" ? std::filesystem::path("/nonexistent/x.pdf") : file);
    };
    return s;
  }();
  return *server;
}

}  // namespace

}  // namespace skan::bench

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace skan::share;
  using skan::bench::Server;
  TContext context(std::make_unique<TMemoryIOHandler>(std::string(reinterpret_cast<const char*>(data), size)));
  try {
    Server().HandleConnection(context);
  } catch (const std::exception&) {
    // Parse failures end the connection; that is an answer, not a crash.
  }
  return 0;
}

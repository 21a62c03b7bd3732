// Shares one file the way "Confirm and send" does, for real clients (curl,
// a browser, load tools): prints the peer's message on standard output, one
// line, and serves until standard input ends.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "app/share_action.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: share_serve FILE\n");
    return 2;
  }
  std::filesystem::path file = argv[1];
  std::uint16_t port = 0;
  skan::TShareWindow w;
  w.filename = [&file] { return file; };
  w.WriteMessage = [](const std::string& body) {
    std::fwrite(body.data(), 1, body.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };
  w.Log = [](const std::wstring&) {};
  w.port = &port;
  try {
    skan::TShareAction action(w);
    action.ImageButton3Click();
    if (!action.HTTPServer1.Active()) {
      std::fprintf(stderr, "share_serve: no such file\n");
      return 1;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    action.HTTPServer1.SetActive(false);
    std::fprintf(stderr, "share_serve: stopped, %zu connection threads left\n",
                 action.HTTPServer1.ConnectionThreadCount());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "share_serve: %s\n", e.what());
    return 1;
  }
  return 0;
}

// Connection storms against the share server in one process: many clients
// doing short GETs while the served file name keeps changing, then clients
// that connect and send nothing, then a stop. Prints what it measured and
// fails when a client got a wrong answer or threads or descriptors leak.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "share/http_server.h"
#include "share/tests/raw_client.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace skan::bench {

using namespace share;

namespace {

// Threads ("/proc/self/task") or open descriptors ("/proc/self/fd") of this
// process; on Windows its threads and its handles.
int CountEntries(const char* folder) {
#ifdef _WIN32
  if (std::strcmp(folder, "/proc/self/fd") == 0) {
    DWORD handles = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &handles) ? static_cast<int>(handles) : -1;
  }
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  int n = 0;
  for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e))
    if (e.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snap);
  return n;
#else
  int n = 0;
  if (DIR* d = opendir(folder)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
#endif
}

int Arg(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  return fallback;
}

}  // namespace

int Main(int argc, char** argv) {
  const int clients = Arg(argc, argv, "--clients", 16);
  const int requests = Arg(argc, argv, "--requests", 2000);
  const int idle = Arg(argc, argv, "--idle", 100);

  TTempDir dir;
  std::vector<std::filesystem::path> files;
  std::vector<std::size_t> sizes;
  for (int i = 0; i < 2; ++i) {
    files.push_back(dir.Path() / ("file" + std::to_string(i) + ".pdf"));
    std::string body(20000 + 1000 * i, static_cast<char>('a' + i));
    WriteFileBytes(files.back(), body);
    sizes.push_back(body.size());
  }

  // A first thread, so that helper threads of the runtime or a sanitizer
  // exist before the baseline is taken.
  std::thread([] {}).join();
  const int threadsBefore = CountEntries("/proc/self/task");
  const int fdsBefore = CountEntries("/proc/self/fd");

  std::mutex nameLock;
  std::filesystem::path current = files[0];
  THTTPServer server;
  server.OnCommandGet = [&](TContext& c, THTTPRequestInfo&, THTTPResponseInfo& r) {
    std::filesystem::path p;
    {
      std::lock_guard<std::mutex> guard(nameLock);
      p = current;
    }
    r.CustomHeaders.push_back("Access-Control-Allow-Origin: *");
    r.ServeFile(c, p);
  };
  TSocketHandle& b = server.Bindings().Add();
  b.IP = "127.0.0.1";
  b.Port = 0;  // any free port
  server.SetActive(true);
  const std::uint16_t port = server.Bindings()[0].Port;

  // The GUI's part: replace the file name all the time.
  std::atomic<bool> stopFlipping{false};
  std::thread flipper([&] {
    for (int i = 0; !stopFlipping; ++i) {
      {
        std::lock_guard<std::mutex> guard(nameLock);
        current = files[static_cast<std::size_t>(i % 2)];
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  // Storm: clients x (requests / clients) connections, each one GET.
  std::atomic<int> ok{0}, bad{0};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < clients; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < requests / clients; ++i) {
        THttpAnswer a = Exchange(port, "GET /scan.pdf HTTP/1.1\r\nHost: x\r\n\r\n");
        bool good = a.status == 200 && (a.body.size() == sizes[0] || a.body.size() == sizes[1]) &&
                    a.Header("Content-Length") == std::to_string(a.body.size());
        (good ? ok : bad)++;
      }
    });
  }
  for (auto& w : workers) w.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stopFlipping = true;
  flipper.join();

  // One whole GET, timed; the baseline is taken before any idle client.
  auto timedGet = [&](bool& whole) {
    auto t0 = std::chrono::steady_clock::now();
    THttpAnswer a = Exchange(port, "GET / HTTP/1.0\r\n\r\n");
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    whole = a.status == 200 && (a.body.size() == sizes[0] || a.body.size() == sizes[1]);
    return ms;
  };
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  constexpr int kGets = 9;
  std::vector<double> baseline, beside;
  bool baselineWhole = true;
  for (int i = 0; i < kGets; ++i) {
    bool whole = false;
    baseline.push_back(timedGet(whole));
    baselineWhole = baselineWhole && whole;
  }

  // Idle clients: connect and send nothing; the others are still served.
  std::vector<TRawClient> silent(static_cast<std::size_t>(idle));
  auto connectStart = std::chrono::steady_clock::now();
  const int connected =
      static_cast<int>(ConnectPaced(silent, port, [&server] { return server.ConnectionThreadCount(); }));
  for (int i = 0; i < 3000 && server.ConnectionThreadCount() < static_cast<std::size_t>(connected); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double connectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - connectStart).count();
  const std::size_t idleThreads = server.ConnectionThreadCount();
  bool servedBeside = baselineWhole;
  for (int i = 0; i < kGets; ++i) {
    bool whole = false;
    beside.push_back(timedGet(whole));
    servedBeside = servedBeside && whole;
  }
  const double besideMs = median(beside), baselineMs = median(baseline);

  auto stopStart = std::chrono::steady_clock::now();
  server.SetActive(false);
  double stopMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopStart).count();
  silent.clear();

  const int threadsAfter = CountEntries("/proc/self/task");
  const int fdsAfter = CountEntries("/proc/self/fd");

  std::printf("storm: %d clients, %d connections in %.2f s = %.0f connections/s, %d good, %d bad\n", clients, ok + bad,
              seconds, (ok + bad) / seconds, ok.load(), bad.load());
  std::printf(
      "idle: %d clients connected and silent in %.1f s, %zu connection threads, other clients served whole: %s\n",
      connected, connectSeconds, idleThreads, servedBeside ? "yes" : "no");
  std::printf(
      "GET of the whole file, median of %d: %.2f ms with %d idle connections held, %.2f ms with none "
      "(ratio %.2f)\n",
      kGets, besideMs, connected, baselineMs, baselineMs > 0 ? besideMs / baselineMs : 0.0);
  std::printf("stop with %d idle connections: %.0f ms; connection threads left: %zu\n", connected, stopMs,
              server.ConnectionThreadCount());
  std::printf("threads before/after: %d/%d, descriptors before/after: %d/%d\n", threadsBefore, threadsAfter, fdsBefore,
              fdsAfter);
  bool leak = (threadsBefore >= 0 && threadsAfter != threadsBefore) || (fdsBefore >= 0 && fdsAfter != fdsBefore);
  if (bad > 0 || !servedBeside || besideMs > 1000 || connected < idle || server.ConnectionThreadCount() != 0 || leak ||
      idleThreads < static_cast<std::size_t>(connected)) {
    std::printf("FAIL\n");
    return 1;
  }
  std::printf("PASS\n");
  return 0;
}
}  // namespace skan::bench

int main(int argc, char** argv) { return skan::bench::Main(argc, argv); }

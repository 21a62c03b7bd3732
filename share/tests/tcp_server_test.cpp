// The TCP layer and the port probe on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <stdexcept>

#include "share/errors.h"
#include "share/port_probe.h"
#include "share/small_thread.h"
#include "share/tcp_server.h"
#include "share/tests/raw_client.h"

namespace skan::share {
namespace {

void AddLoopback(TCustomTCPServer& s, std::uint16_t port) {
  TSocketHandle& b = s.Bindings().Add();
  b.IP = "127.0.0.1";
  b.Port = port;
}

bool CanBind(std::uint16_t port) {
  THeldPort p;
  return p.Hold(port);
}

TEST(TcpServer, RequiresOnExecute) {
  TTCPServer s;
  AddLoopback(s, 0);
  try {
    s.SetActive(true);
    FAIL();
  } catch (const TShareException& e) {
    EXPECT_STREQ(e.what(), "You must have an OnExecute event.");
  }
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.Bindings()[0].Handle(), kInvalidSocket);
}

TEST(TcpServer, StartStopAndRepeatedSettings) {
  TTCPServer s;
  s.OnExecute = [](TContext& c) {
    c.Connection().IOHandler().Write("hi");
    c.Connection().Disconnect();
  };
  AddLoopback(s, 0);
  s.SetActive(true);
  s.SetActive(true);  // no effect
  std::uint16_t port = s.Bindings()[0].Port;
  ASSERT_NE(port, 0);
  TRawClient c;
  ASSERT_TRUE(c.Connect(port));
  EXPECT_EQ(c.ReadAll(), "hi");
  s.SetActive(false);
  s.SetActive(false);
  EXPECT_FALSE(s.Active());
  TRawClient late;
  EXPECT_FALSE(late.Connect(port));  // nothing left listening
}

TEST(TcpServer, BusyPortFailsTheStartAndLeavesItInactive) {
  THeldPort held;
  ASSERT_TRUE(held.Hold(0));
  TTCPServer s;
  s.OnExecute = [](TContext&) {};
  AddLoopback(s, held.Port());
  try {
    s.SetActive(true);
    FAIL();
  } catch (const TCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket.");
  }
  EXPECT_FALSE(s.Active());
  held.Release();
  s.SetActive(true);  // a failed start can be retried
  EXPECT_TRUE(s.Active());
}

TEST(TcpServer, FailedSecondBindingClosesTheFirst) {
  if (!LoopbackIPv6Available()) GTEST_SKIP() << "no IPv6 on loopback";
  THeldPort held6;
  ASSERT_TRUE(held6.Hold(0, "::1", TIPVersion::Id_IPv6));
  if (!CanBind(held6.Port())) GTEST_SKIP() << "port busy on IPv4";
  TTCPServer s;
  s.OnExecute = [](TContext&) {};
  AddLoopback(s, held6.Port());
  TSocketHandle& b6 = s.Bindings().Add();
  b6.IP = "::1";
  b6.IPVersion = TIPVersion::Id_IPv6;
  b6.Port = held6.Port();
  EXPECT_THROW(s.SetActive(true), TCouldNotBindSocket);
  EXPECT_FALSE(s.Active());
  EXPECT_TRUE(CanBind(held6.Port()));
}

TEST(TcpServer, EachClientGetsItsOwnThread) {
  constexpr int kClients = 8;
  std::mutex m;
  std::condition_variable cv;
  int waiting = 0;
  TTCPServer s;
  s.OnExecute = [&](TContext& c) {
    std::unique_lock<std::mutex> lock(m);
    ++waiting;
    cv.notify_all();
    // Every handler waits until all clients are inside one: a server that
    // served them one after another would never get there.
    bool all = cv.wait_for(lock, std::chrono::seconds(10), [&] { return waiting >= kClients; });
    lock.unlock();
    c.Connection().IOHandler().Write(all ? "all" : "alone");
    c.Connection().Disconnect();
  };
  AddLoopback(s, 0);
  s.SetActive(true);
  std::vector<TRawClient> clients(kClients);
  for (auto& c : clients) ASSERT_TRUE(c.Connect(s.Bindings()[0].Port));
  for (auto& c : clients) EXPECT_EQ(c.ReadAll(), "all");
  s.SetActive(false);
  EXPECT_EQ(s.ConnectionThreadCount(), 0u);
}

TEST(TcpServer, StopClosesIdleConnectionsAndReturns) {
  TTCPServer s;
  std::atomic<std::size_t> waiting{0};
  s.OnExecute = [&waiting](TContext& c) {
    ++waiting;
    try {
      c.Connection().IOHandler().ReadLn(100);  // blocks: the clients send nothing
    } catch (...) {
    }
  };
  AddLoopback(s, 0);
  s.SetActive(true);
  std::vector<TRawClient> clients(20);
  for (auto& c : clients) ASSERT_TRUE(c.Connect(s.Bindings()[0].Port));
  for (int i = 0; i < 1000 && waiting < clients.size(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Every client is held by a connection waiting for its line.
  ASSERT_EQ(waiting.load(), clients.size());
  ASSERT_EQ(s.ConnectionThreadCount(), clients.size());
  auto start = std::chrono::steady_clock::now();
  s.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(s.ConnectionThreadCount(), 0u);
  for (auto& c : clients) {
    c.ReadAll(5000);
    EXPECT_TRUE(c.Closed());
  }
}

TEST(TcpServer, ConnectionThreadsReserveSmallStacks) {
  std::atomic<std::size_t> reserved{0};
  TTCPServer s;
  s.OnExecute = [&](TContext& c) {
    reserved = CurrentThreadStackReservation();
    c.Connection().Disconnect();
  };
  AddLoopback(s, 0);
  s.SetActive(true);
  TRawClient c;
  ASSERT_TRUE(c.Connect(s.Bindings()[0].Port));
  c.ReadAll();
  s.SetActive(false);
  ASSERT_GT(reserved.load(), 0u);
  // The runtime's default (2 MiB with MinGW, 8 MiB with glibc) lets a few
  // hundred idle clients use up a 32-bit address space.
  EXPECT_LT(reserved.load(), std::size_t{2} << 20);
}

TEST(PortProbe, FirstFreePortAndNothingLeftOpen) {
  // Find two neighbouring ports to hold and a third free one after them.
  for (int attempt = 0; attempt < 20; ++attempt) {
    THeldPort a, b;
    ASSERT_TRUE(a.Hold(0));
    std::uint16_t p = a.Port();
    if (p > 65000 || !b.Hold(static_cast<std::uint16_t>(p + 1)) || !CanBind(static_cast<std::uint16_t>(p + 2)))
      continue;
    EXPECT_EQ(FindAvailablePort(p, 200), p + 2);
    EXPECT_TRUE(CanBind(static_cast<std::uint16_t>(p + 2)));  // the probe keeps nothing open
    EXPECT_EQ(FindAvailablePort(p, 2), 0xFFFF);               // all busy
    EXPECT_EQ(FindAvailablePort(p, 0), 0xFFFF);               // no attempt
    return;
  }
  GTEST_SKIP() << "no three neighbouring ports to use";
}

TEST(PortProbe, PortHeldByAnotherListenerCountsAsBusy) {
  for (const char* ip : {"127.0.0.1", ""}) {  // loopback only; every address
    THeldPort held;
    ASSERT_TRUE(held.Hold(0, ip)) << "'" << ip << "'";
    EXPECT_EQ(FindAvailablePort(held.Port(), 1), 0xFFFF) << "held on '" << ip << "'";
    held.Release();
    EXPECT_EQ(FindAvailablePort(held.Port(), 1), held.Port()) << "released from '" << ip << "'";
  }
}

TEST(PortProbe, ProbesEveryAddressItIsGiven) {
  if (!LoopbackIPv6Available()) GTEST_SKIP() << "no IPv6 on loopback";
  THeldPort held6;
  ASSERT_TRUE(held6.Hold(0, "::1", TIPVersion::Id_IPv6));
  std::vector<TProbeAddress> both = {{"127.0.0.1", TIPVersion::Id_IPv4}, {"::1", TIPVersion::Id_IPv6}};
  EXPECT_EQ(FindAvailablePort(held6.Port(), 1, both), 0xFFFF);
}

TEST(PortProbe, BusyLastPortOverflowsInsteadOfWrapping) {
  THeldPort last;
  last.Hold(65535);  // if someone else holds it, it is busy all the same
  if (CanBind(65535)) GTEST_SKIP() << "port 65535 could not be held";
  EXPECT_THROW(FindAvailablePort(65535, 5), std::overflow_error);
}

}  // namespace
}  // namespace skan::share

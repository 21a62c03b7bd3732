#include "peer_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace skan {
namespace {

// A scripted input: chunks handed to the reader one per read, then the end.
// The reader thread shares the state, and the input ends when the fake goes
// out of scope, so no test leaves a reader blocked on freed memory.
class FakeInput {
 public:
  ~FakeInput() { Close(); }
  void Push(std::string chunk) {
    std::lock_guard lock(s_->m);
    s_->chunks.push_back(std::move(chunk));
    s_->cv.notify_all();
  }
  void Close() {
    std::lock_guard lock(s_->m);
    s_->closed = true;
    s_->cv.notify_all();
  }
  TPeerInput::ReadFn Fn() {
    return [s = s_](char* buf, size_t cap) -> long {
      std::unique_lock lock(s->m);
      s->cv.wait(lock, [&] { return !s->chunks.empty() || s->closed; });
      if (s->chunks.empty()) return 0;
      std::string& c = s->chunks.front();
      size_t n = std::min(cap, c.size());
      std::copy_n(c.data(), n, buf);
      c.erase(0, n);
      if (c.empty()) s->chunks.pop_front();
      return static_cast<long>(n);
    };
  }

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> chunks;
    bool closed = false;
  };
  std::shared_ptr<State> s_ = std::make_shared<State>();
};

std::string Frame(std::string_view body) {
  std::string out;
  WriteMessage([&](const char* d, size_t n) { out.append(d, n); }, body);
  return out;
}

std::string Prefix(uint32_t v) {
  std::string p(4, '\0');
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return p;
}

// Waits until the reader has buffered `n` bytes (the reader is asynchronous).
void WaitForSize(const TPeerInput& in, int64_t n) {
  for (int i = 0; i < 2000 && in.Size() < n; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(in.Size(), n);
}

TEST(PeerChannel, WriteMessageFramesLittleEndian) {
  EXPECT_EQ(Frame(R"({"Czesc ": "1" })"), std::string("\x10\0\0\0", 4) + R"({"Czesc ": "1" })");
  EXPECT_EQ(Frame(""), std::string(4, '\0'));
  std::string big(0x012345, 'x');
  EXPECT_EQ(Frame(big).substr(0, 4), std::string("\x45\x23\x01\x00", 4));
}

TEST(PeerChannel, ReadsOneMessageAndLogsWaitingBytes) {
  FakeInput fake;
  std::atomic<int> wakes = 0;
  TPeerInput in(fake.Fn(), [&] { ++wakes; });
  EXPECT_EQ(NextMessageLength(in, nullptr), 0);  // nothing yet

  fake.Push(Frame(R"({"POL":"END"})"));
  WaitForSize(in, 17);
  EXPECT_GT(wakes.load(), 0);
  std::vector<std::string> log;
  int32_t len = NextMessageLength(in, [&](std::string_view l) { log.emplace_back(l); });
  EXPECT_EQ(len, 13);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Jest następna woiadomość: 17");
  EXPECT_EQ(ReadMessage(in, len), R"({"POL":"END"})");
  EXPECT_EQ(in.Size(), 0);
  log.clear();
  EXPECT_EQ(NextMessageLength(in, [&](std::string_view l) { log.emplace_back(l); }), 0);
  EXPECT_TRUE(log.empty());
}

TEST(PeerChannel, NegativeAndZeroPrefixesConsumeFourBytes) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  fake.Push(Prefix(0xFFFFFFFF) + Prefix(0) + Frame("{}"));
  WaitForSize(in, 14);
  EXPECT_EQ(NextMessageLength(in, nullptr), -1);
  EXPECT_EQ(NextMessageLength(in, nullptr), 0);
  int32_t len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(ReadMessage(in, len), "{}");
}

TEST(PeerChannel, SplitPrefixWaitsForItsFourBytes) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  std::string framed = Frame("{}");
  fake.Push(framed.substr(0, 2));
  WaitForSize(in, 2);
  EXPECT_EQ(NextMessageLength(in, nullptr), 0);
  EXPECT_EQ(in.Size(), 2);  // nothing consumed
  fake.Push(framed.substr(2));
  WaitForSize(in, 6);
  int32_t len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(ReadMessage(in, len), "{}");
}

TEST(PeerChannel, SplitBodyIsReadWhole) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  std::string framed = Frame(R"({"POL":"IFSCANED"})");
  fake.Push(framed.substr(0, 9));
  WaitForSize(in, 9);
  int32_t len = NextMessageLength(in, nullptr);
  ASSERT_EQ(len, 18);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    fake.Push(framed.substr(9, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    fake.Push(framed.substr(14));
  });
  EXPECT_EQ(ReadMessage(in, len), R"({"POL":"IFSCANED"})");
  late.join();
}

TEST(PeerChannel, InputEndingInsideAMessage) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  fake.Push(Prefix(100) + "short");
  fake.Push(std::string("\x05\x00", 2));  // then a 2-byte partial prefix
  fake.Close();
  while (!in.Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int32_t len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 100);
  // The body ends early: what arrived is returned, nothing blocks.
  EXPECT_EQ(ReadMessage(in, len), std::string("short") + std::string("\x05\x00", 2));
  EXPECT_EQ(NextMessageLength(in, nullptr), 0);
}

TEST(PeerChannel, OversizedBodyIsDroppedAndStreamStaysInStep) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  const size_t huge = kMaxMessageBody + 1;
  std::thread writer([&] {
    fake.Push(Prefix(static_cast<uint32_t>(huge)));
    // Larger than the reader's buffer limit: the reader must wait for the
    // consumer rather than grow without bound.
    for (size_t sent = 0; sent < huge; sent += 100000)
      fake.Push(std::string(std::min<size_t>(100000, huge - sent), 'z'));
    fake.Push(Frame(R"({"POL":"END"})"));
  });
  WaitForSize(in, 4);
  int32_t len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, static_cast<int32_t>(huge));
  EXPECT_EQ(ReadMessage(in, len), "");
  EXPECT_LE(in.Size(), static_cast<int64_t>(kMaxBufferedInput + 64 * 1024));
  writer.join();
  WaitForSize(in, 17);
  len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 13);
  EXPECT_EQ(ReadMessage(in, len), R"({"POL":"END"})");
}

TEST(PeerChannel, NoConnectedInputNeverHasAMessage) {
  TPeerInput in(nullptr, nullptr);
  EXPECT_EQ(in.Size(), -1);
  EXPECT_EQ(NextMessageLength(in, [](std::string_view) { FAIL() << "no log line expected"; }), 0);
}

TEST(PeerChannel, ReaderBlockedForeverDoesNotHangDestruction) {
  // The input object goes away while a read is still blocked.
  FakeInput fake;
  {
    TPeerInput in(fake.Fn(), nullptr);
    fake.Push("ab");
    WaitForSize(in, 2);
  }
  fake.Push("cd");  // the detached reader takes it and finds nobody waiting
}

}  // namespace
}  // namespace skan

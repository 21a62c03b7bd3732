#include "peer_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace skan {
namespace {

using namespace std::chrono_literals;

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
  // Chunks the reader has not taken yet.
  size_t Unread() const {
    std::lock_guard lock(s_->m);
    return s_->chunks.size();
  }
  // Waits until the reader has been told that the input ended.
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
    mutable std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> chunks;
    bool closed = false;
  };
  std::shared_ptr<State> s_ = std::make_shared<State>();
};

// Counts the reader's wake calls. A wake comes after the message it announces
// is ready, so a test that waits for it needs no polling or sleeping.
class Wakes {
 public:
  TPeerInput::WakeFn Fn() {
    return [s = s_] {
      std::lock_guard lock(s->m);
      ++s->count;
      s->cv.notify_all();
    };
  }
  void WaitFor(int n) {
    std::unique_lock lock(s_->m);
    ASSERT_TRUE(s_->cv.wait_for(lock, 10s, [&] { return s_->count >= n; })) << "only " << s_->count << " wakes";
  }
  int Count() const {
    std::lock_guard lock(s_->m);
    return s_->count;
  }

 private:
  struct State {
    mutable std::mutex m;
    std::condition_variable cv;
    int count = 0;
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

// Waits until the reader has counted `n` bytes as waiting; a reader that
// counts differently leaves the checks after it to fail.
void WaitForSize(const TPeerInput& in, int64_t n) {
  for (int i = 0; i < 5000 && in.Size() != n; ++i) std::this_thread::sleep_for(1ms);
}

// Runs one poll's calls on another thread and fails when they wait for the
// peer. `unblock` ends the input so that a waiting call can return.
template <class F>
void MustNotWait(F poll, FakeInput& fake) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread t([&] {
    poll();
    done.set_value();
  });
  if (finished.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "the poll waits for bytes the peer has not sent";
    fake.Close();
  }
  t.join();
}

TEST(PeerChannel, WriteMessageFramesLittleEndian) {
  EXPECT_EQ(Frame(R"({"Czesc ": "1" })"), std::string("\x10\0\0\0", 4) + R"({"Czesc ": "1" })");
  EXPECT_EQ(Frame(""), std::string(4, '\0'));
  std::string big(0x012345, 'x');
  EXPECT_EQ(Frame(big).substr(0, 4), std::string("\x45\x23\x01\x00", 4));
}

TEST(PeerChannel, ReadsOneMessageAndLogsWaitingBytes) {
  FakeInput fake;
  Wakes wakes;
  TPeerInput in(fake.Fn(), wakes.Fn());
  std::vector<std::string> log;
  auto logger = [&](std::string_view l) { log.emplace_back(l); };
  EXPECT_EQ(NextMessageLength(in, logger), 0);  // nothing yet
  EXPECT_TRUE(log.empty());

  fake.Push(Frame(R"({"POL":"END"})"));
  wakes.WaitFor(1);
  int32_t len = NextMessageLength(in, logger);
  EXPECT_EQ(len, 13);
  EXPECT_EQ(log, std::vector<std::string>{"Jest następna woiadomość: 17"});
  EXPECT_EQ(ReadMessage(in, len), R"({"POL":"END"})");
  EXPECT_EQ(in.Size(), 0);
  log.clear();
  EXPECT_EQ(NextMessageLength(in, logger), 0);
  EXPECT_TRUE(log.empty());
}

TEST(PeerChannel, TwoWaitingMessagesAreTakenOnePerPollAndCountedTogether) {
  FakeInput fake;
  Wakes wakes;
  TPeerInput in(fake.Fn(), wakes.Fn());
  fake.Push(Frame(R"({"POL":"END"})") + Frame("{}"));
  wakes.WaitFor(1);
  std::vector<std::string> log;
  auto logger = [&](std::string_view l) { log.emplace_back(l); };
  int32_t len = NextMessageLength(in, logger);
  EXPECT_EQ(ReadMessage(in, len), R"({"POL":"END"})");
  EXPECT_TRUE(in.HasMessage());
  len = NextMessageLength(in, logger);
  EXPECT_EQ(ReadMessage(in, len), "{}");
  EXPECT_FALSE(in.HasMessage());
  EXPECT_EQ(log, (std::vector<std::string>{"Jest następna woiadomość: 23", "Jest następna woiadomość: 6"}));
}

TEST(PeerChannel, NegativeAndZeroPrefixesConsumeFourBytes) {
  FakeInput fake;
  Wakes wakes;
  TPeerInput in(fake.Fn(), wakes.Fn());
  fake.Push(Prefix(0xFFFFFFFF) + Prefix(0) + Frame("{}"));
  wakes.WaitFor(1);
  EXPECT_EQ(NextMessageLength(in, nullptr), -1);
  EXPECT_EQ(in.Size(), 10);
  EXPECT_EQ(NextMessageLength(in, nullptr), 0);
  int32_t len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(ReadMessage(in, len), "{}");
}

// A message is taken only once it is whole: a prefix or a body in pieces is
// counted as waiting but never makes the poll wait for the rest.
TEST(PeerChannel, MessageInPiecesIsTakenWhenWhole) {
  const std::string framed = Frame(R"({"POL":"IFSCANED"})");
  for (std::vector<size_t> cuts : {std::vector<size_t>{2}, {4}, {9}, {1, 3, 14}}) {
    SCOPED_TRACE(::testing::PrintToString(cuts));
    FakeInput fake;
    Wakes wakes;
    TPeerInput in(fake.Fn(), wakes.Fn());
    size_t start = 0;
    for (size_t cut : cuts) {
      fake.Push(framed.substr(start, cut - start));
      start = cut;
    }
    WaitForSize(in, static_cast<int64_t>(start));
    MustNotWait([&] { EXPECT_EQ(NextMessageLength(in, nullptr), 0); }, fake);
    EXPECT_EQ(in.Size(), static_cast<int64_t>(start));
    fake.Push(framed.substr(start));
    wakes.WaitFor(1);
    MustNotWait(
        [&] {
          int32_t len = NextMessageLength(in, nullptr);
          EXPECT_EQ(len, 18);
          EXPECT_EQ(ReadMessage(in, len), R"({"POL":"IFSCANED"})");
        },
        fake);
  }
}

TEST(PeerChannel, PollNeverWaitsForAMissingBody) {
  struct Case {
    const char* name;
    std::string input;
    int32_t length;   // what the poll returns at once
    int64_t waiting;  // bytes counted as waiting before the poll
  };
  const Case cases[] = {
      {"declared body that never comes", Prefix(100) + "{\"POL\"", 0, 10},
      // Unframed JSON: its first four bytes read as a length of about 1.3 GB,
      // announced at once and dropped as its bytes come.
      {"stray unframed text", R"({"POL":"IFSCANED"})", 0x4F50227B, 4},
      {"oversized body in progress", Prefix(kMaxMessageBody + 1) + std::string(1000, 'z'), kMaxMessageBody + 1, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeInput fake;
    Wakes wakes;
    TPeerInput in(fake.Fn(), wakes.Fn());
    fake.Push(c.input);
    WaitForSize(in, c.waiting);
    std::vector<std::string> log;
    MustNotWait(
        [&] {
          int32_t len = NextMessageLength(in, [&](std::string_view l) { log.emplace_back(l); });
          EXPECT_EQ(len, c.length);
          EXPECT_EQ(ReadMessage(in, len), "");
        },
        fake);
    if (c.length == 0) {
      EXPECT_TRUE(log.empty());
      EXPECT_EQ(in.Size(), c.waiting);
    } else {
      EXPECT_EQ(log, std::vector<std::string>{"Jest następna woiadomość: " + std::to_string(c.waiting)});
    }
  }
}

TEST(PeerChannel, InputEndingInsideAMessage) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  fake.Push(Prefix(100) + "short");
  fake.Push(std::string("\x05\x00", 2));  // then a 2-byte partial prefix
  fake.Close();
  while (!in.Finished()) std::this_thread::sleep_for(1ms);
  int32_t len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 100);
  // The body ends early: what arrived is returned, nothing blocks.
  EXPECT_EQ(ReadMessage(in, len), std::string("short") + std::string("\x05\x00", 2));
  EXPECT_EQ(NextMessageLength(in, nullptr), 0);
}

TEST(PeerChannel, OversizedBodyIsDroppedAndStreamStaysInStep) {
  FakeInput fake;
  Wakes wakes;
  TPeerInput in(fake.Fn(), wakes.Fn());
  const size_t huge = 3 * kMaxMessageBody + 1;
  fake.Push(Prefix(static_cast<uint32_t>(huge)));
  wakes.WaitFor(1);
  int32_t len = 0;
  MustNotWait(
      [&] {
        len = NextMessageLength(in, nullptr);
        EXPECT_EQ(len, static_cast<int32_t>(huge));
        EXPECT_EQ(ReadMessage(in, len), "");
      },
      fake);
  // The body is dropped by the reader as it arrives, without anyone polling.
  for (size_t sent = 0; sent < huge; sent += 100000) fake.Push(std::string(std::min<size_t>(100000, huge - sent), 'z'));
  fake.Push(Frame(R"({"POL":"END"})"));
  wakes.WaitFor(2);
  EXPECT_EQ(in.Size(), 17);
  len = NextMessageLength(in, nullptr);
  EXPECT_EQ(len, 13);
  EXPECT_EQ(ReadMessage(in, len), R"({"POL":"END"})");
}

TEST(PeerChannel, FloodStopsAtTheBufferLimitAndArrivesInOrder) {
  FakeInput fake;
  TPeerInput in(fake.Fn(), nullptr);
  const int count = 1000;  // about 1 MB of messages, four times the limit
  for (int i = 0; i < count; ++i) fake.Push(Frame(std::to_string(i) + std::string(1000, ' ')));
  // The reader fills the buffer up to its limit and then waits for the poll.
  for (int i = 0; i < 10000 && in.Size() < int64_t(kMaxBufferedInput); ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_LE(in.Size(), int64_t(kMaxBufferedInput + 64 * 1024));
  EXPECT_GT(fake.Unread(), 0u);
  for (int i = 0; i < count; ++i) {
    int32_t len = 0;
    for (int spin = 0; spin < 10000 && (len = NextMessageLength(in, nullptr)) == 0; ++spin)
      std::this_thread::sleep_for(1ms);
    ASSERT_EQ(ReadMessage(in, len).substr(0, std::to_string(i).size()), std::to_string(i));
  }
}

TEST(PeerChannel, PeerGoneOnlyWhenItsPipeEnded) {
  struct Case {
    const char* name;
    bool connected, peerPipe;
    bool goneAtEnd;
  };
  const Case cases[] = {
      {"peer's pipe", true, true, true},
      {"input that is not the peer's pipe", true, false, false},
      {"no input at all", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeInput fake;
    Wakes wakes;
    TPeerInput in(c.connected ? fake.Fn() : nullptr, wakes.Fn(), c.peerPipe);
    if (c.connected) fake.Push(Frame(R"({"POL":"IFSCANED"})"));
    fake.Close();
    if (c.connected) wakes.WaitFor(2);  // the message, then the end
    EXPECT_EQ(in.PeerGone(), c.goneAtEnd);
    // What the peer sent before it went is still there to be taken.
    int32_t len = NextMessageLength(in, nullptr);
    if (c.connected) {
      EXPECT_EQ(ReadMessage(in, len), R"({"POL":"IFSCANED"})");
    }
    EXPECT_EQ(in.PeerGone(), c.goneAtEnd);
  }
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

#include "share/tcp_server.h"

#include <chrono>
#include <utility>

#include "share/errors.h"

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace skan::share {

namespace {

// A listener looks for a stop request between waits of this length.
constexpr int kAcceptSliceMs = 250;

// sendfile raises SIGPIPE on a connection the peer has closed; a serving
// thread keeps it blocked so that the call fails with EPIPE instead.
void BlockBrokenPipeSignal() {
#ifndef _WIN32
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

}  // namespace

TSocketHandle& TSocketHandles::Add() {
  items_.push_back(std::make_unique<TSocketHandle>());
  items_.back()->Port = defaultPort_;
  return *items_.back();
}

TCustomTCPServer::TCustomTCPServer() = default;

TCustomTCPServer::~TCustomTCPServer() {
  // Derived servers stop in their own destructor, while their overrides exist;
  // this catches a plain server.
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TCustomTCPServer::SetActive(bool value) {
  if (value == active_) return;
  if (!value) {
    active_ = false;
    Shutdown();
    return;
  }
  CheckOkToBeActive();
  try {
    Startup();
    active_ = true;
  } catch (...) {
    active_ = true;
    SetActive(false);
    throw;
  }
}

std::size_t TCustomTCPServer::ConnectionThreadCount() {
  std::lock_guard<std::mutex> guard(contextsLock_);
  return contexts_.size();
}

void TCustomTCPServer::ContextCreated(TContext& context) {
  if (OnContextCreated) OnContextCreated(context);
}
void TCustomTCPServer::ContextConnected(TContext& context) { DoConnect(context); }
void TCustomTCPServer::ContextDisconnected(TContext& context) { DoDisconnect(context); }
void TCustomTCPServer::DoBeforeBind(TSocketHandle& b) {
  if (OnBeforeBind) OnBeforeBind(b);
}
void TCustomTCPServer::DoAfterBind(TSocketHandle& b) {
  if (OnAfterBind) OnAfterBind(b);
}
void TCustomTCPServer::DoBeforeListenerRun(TSocketHandle& b) {
  if (OnBeforeListenerRun) OnBeforeListenerRun(b);
}
void TCustomTCPServer::DoConnect(TContext& context) {
  if (OnConnect) OnConnect(context);
}
void TCustomTCPServer::DoDisconnect(TContext& context) {
  if (OnDisconnect) OnDisconnect(context);
}
void TCustomTCPServer::DoException(TContext& context, const std::exception& e) {
  if (OnException) OnException(context, e);
}
void TCustomTCPServer::DoListenException(TSocketHandle& b, const std::exception& e) {
  if (OnListenException) OnListenException(b, e);
}

bool TCustomTCPServer::DoExecute(TContext& context) {
  if (!OnExecute) return false;
  OnExecute(context);
  return context.Connection().Connected();
}

void TCustomTCPServer::Startup() {
  SocketStartup();
  if (bindings_.Count() == 0) {
    bindings_.Add().IPVersion = TIPVersion::Id_IPv4;
    if (SystemOffersIPv6()) bindings_.Add().IPVersion = TIPVersion::Id_IPv6;
  }
  StartListening();
}

void TCustomTCPServer::StartListening() {
  // Bind everything first, so that a busy address fails the start before any
  // socket listens.
  for (std::size_t i = 0; i < bindings_.Count(); ++i) {
    TSocketHandle& b = bindings_[i];
    try {
      DoBeforeBind(b);
      TUniqueSocket s = OpenStreamSocket(b.IPVersion);
      if (!s) throw TCouldNotBindSocket(LastSocketError());
      TReuseSocket reuse = b.ReuseSocket != TReuseSocket::rsOSDependent ? b.ReuseSocket : ReuseSocket;
      SetReuseAddress(s.get(), reuse == TReuseSocket::rsTrue);
      if (b.IPVersion == TIPVersion::Id_IPv6) SetIPv6Only(s.get());
      int error = 0;
      if (!BindSocket(s.get(), b.IPVersion, b.IP, b.Port, error)) throw TCouldNotBindSocket(error);
      if (b.Port == 0) b.Port = LocalPort(s.get());
      b.socket_ = std::move(s);
      DoAfterBind(b);
    } catch (...) {
      for (std::size_t j = 0; j <= i; ++j) bindings_[j].socket_.reset();
      throw;
    }
  }
  for (std::size_t i = 0; i < bindings_.Count(); ++i) {
    TSocketHandle& b = bindings_[i];
    // Non-blocking, so that a connection reset between the wait and accept
    // cannot leave the listener stuck in accept.
    if (!ListenSocket(b.Handle(), ListenQueue) || !SetNonBlocking(b.Handle(), true)) {
      int e = LastSocketError();
      throw TSocketException("Could not listen on socket: " + SocketErrorText(e), e);
    }
    auto listener = std::make_unique<TListener>();
    listener->binding = &b;
    TListener& l = *listener;
    listeners_.push_back(std::move(listener));
    l.thread = std::thread([this, &l] { ListenerRun(l); });
  }
}

void TCustomTCPServer::ListenerRun(TListener& listener) {
  TSocketHandle& b = *listener.binding;
  RaiseThreadPriority();  // accepting stays prompt while connections are served
  try {
    DoBeforeListenerRun(b);
  } catch (...) {
  }
  while (!listener.stop) {
    try {
      ReapFinished();
      int ready = WaitReadable(b.Handle(), kAcceptSliceMs);
      if (listener.stop) break;
      if (ready <= 0) continue;
      int error = 0;
      TUniqueSocket s = AcceptSocket(b.Handle(), error);
      if (!s) {
        if (error != 0 && !listener.stop) throw TSocketException("accept: " + SocketErrorText(error), error);
        continue;
      }
      auto io = std::make_unique<TSocketIOHandler>(std::move(s));
      if (MaxConnections > 0 && ConnectionThreadCount() >= static_cast<std::size_t>(MaxConnections)) {
        TTCPConnection refused(std::move(io));
        DoMaxConnectionsExceeded(refused);
        refused.Disconnect();
        continue;
      }
      auto context = std::make_unique<TContext>(std::move(io));
      TContext& c = *context;
      ContextCreated(c);
      // The context is listed before its thread runs, so a stop that comes
      // at any moment from here on finds it and waits for its thread.
      std::lock_guard<std::mutex> guard(contextsLock_);
      contexts_.push_back(std::move(context));
      try {
        // A small stack keeps thousands of idle connections within a 32-bit
        // address space.
        c.thread_ = TSmallStackThread([this, &c] { ConnectionRun(c); }, kConnectionStackBytes);
      } catch (...) {
        contexts_.pop_back();
        throw;
      }
    } catch (const std::exception& e) {
      try {
        DoListenException(b, e);
      } catch (...) {
      }
      // Out of descriptors or memory: let connections end before trying again.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } catch (...) {
    }
  }
}

void TCustomTCPServer::ConnectionRun(TContext& context) {
  BlockBrokenPipeSignal();
  try {
    ContextConnected(context);
    while (DoExecute(context)) {
    }
    ContextDisconnected(context);
  } catch (const std::exception& e) {
    try {
      DoException(context, e);
    } catch (...) {
    }
  } catch (...) {
  }
  try {
    context.Connection().Disconnect();
  } catch (...) {
  }
  context.finished_ = true;
}

void TCustomTCPServer::ReapFinished() {
  std::list<std::unique_ptr<TContext>> done;
  {
    std::lock_guard<std::mutex> guard(contextsLock_);
    for (auto it = contexts_.begin(); it != contexts_.end();) {
      if ((*it)->finished_) {
        auto next = std::next(it);
        done.splice(done.end(), contexts_, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  for (auto& c : done)
    if (c->thread_.joinable()) c->thread_.join();
}

void TCustomTCPServer::TerminateAllConnections() {
  std::list<std::unique_ptr<TContext>> all;
  {
    std::lock_guard<std::mutex> guard(contextsLock_);
    all.swap(contexts_);
  }
  for (auto& c : all) c->Connection().IOHandler().Abort();
  for (auto& c : all)
    if (c->thread_.joinable()) c->thread_.join();
}

void TCustomTCPServer::Shutdown() {
  for (auto& l : listeners_) {
    l->stop = true;
    // Wakes the wait at once where the system allows it; otherwise the
    // listener sees the request within one slice.
    if (l->binding->Handle() != kInvalidSocket) ShutdownSocket(l->binding->Handle(), TShutdown::Both);
    if (l->thread.joinable()) l->thread.join();
    l->binding->socket_.reset();
  }
  listeners_.clear();
  // Bindings bound but never listened on (a start that failed half-way).
  for (std::size_t i = 0; i < bindings_.Count(); ++i) bindings_[i].socket_.reset();
  TerminateAllConnections();
}

TTCPServer::~TTCPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TTCPServer::CheckOkToBeActive() {
  if (!OnExecute) throw TShareException("You must have an OnExecute event.");
}

}  // namespace skan::share

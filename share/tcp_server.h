// TCP server: bindings, one listener thread per listening socket, one thread
// per accepted connection, and a stop that waits for all of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "share/io_handler.h"
#include "share/small_thread.h"
#include "share/socket.h"

namespace skan::share {

class TCustomTCPServer;

enum class TReuseSocket { rsOSDependent, rsTrue, rsFalse };

// One address to listen on.
class TSocketHandle {
 public:
  std::string IP;  // empty: every address of the family
  std::uint16_t Port = 0;
  TIPVersion IPVersion = TIPVersion::Id_IPv4;
  TReuseSocket ReuseSocket = TReuseSocket::rsOSDependent;
  bool UseNagle = true;

  socket_t Handle() const { return socket_.get(); }

 private:
  friend class TCustomTCPServer;
  TUniqueSocket socket_;
};

class TSocketHandles {
 public:
  // A new binding on the collection's default port.
  TSocketHandle& Add();
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TSocketHandle& operator[](std::size_t i) { return *items_[i]; }
  const TSocketHandle& operator[](std::size_t i) const { return *items_[i]; }

 private:
  friend class TCustomTCPServer;
  std::vector<std::unique_ptr<TSocketHandle>> items_;
  std::uint16_t defaultPort_ = 0;
};

// The accepted connection: owns its I/O handler.
class TTCPConnection {
 public:
  explicit TTCPConnection(std::unique_ptr<TIOHandler> io) : io_(std::move(io)) {}
  TIOHandler& IOHandler() { return *io_; }
  bool Connected() const { return io_->Connected(); }
  void Disconnect() { io_->Close(); }

 private:
  std::unique_ptr<TIOHandler> io_;
};

// One accepted connection together with the thread that serves it.
class TContext {
 public:
  explicit TContext(std::unique_ptr<TIOHandler> io) : connection_(std::move(io)) {}
  TTCPConnection& Connection() { return connection_; }
  std::string RemoteIP() { return connection_.IOHandler().PeerIP(); }

 private:
  friend class TCustomTCPServer;
  TTCPConnection connection_;
  TSmallStackThread thread_;
  std::atomic<bool> finished_{false};
};

class TCustomTCPServer {
 public:
  using TServerContextEvent = std::function<void(TContext&)>;
  using TServerExceptionEvent = std::function<void(TContext&, const std::exception&)>;
  using TListenExceptionEvent = std::function<void(TSocketHandle&, const std::exception&)>;
  using TSocketHandleEvent = std::function<void(TSocketHandle&)>;

  TCustomTCPServer();
  virtual ~TCustomTCPServer();
  TCustomTCPServer(const TCustomTCPServer&) = delete;
  TCustomTCPServer& operator=(const TCustomTCPServer&) = delete;

  bool Active() const { return active_; }
  // Starts or stops the server; setting the value it already has does nothing.
  // A failed start undoes what it made and rethrows; the server stays inactive.
  void SetActive(bool value);

  TSocketHandles& Bindings() { return bindings_; }
  std::uint16_t DefaultPort() const { return bindings_.defaultPort_; }
  // The port for bindings added afterwards.
  void SetDefaultPort(std::uint16_t port) { bindings_.defaultPort_ = port; }

  int ListenQueue = 15;
  int MaxConnections = 0;  // 0: no limit
  TReuseSocket ReuseSocket = TReuseSocket::rsOSDependent;
  bool UseNagle = true;

  TServerContextEvent OnConnect, OnDisconnect, OnExecute, OnContextCreated;
  TServerExceptionEvent OnException;
  TListenExceptionEvent OnListenException;
  TSocketHandleEvent OnBeforeBind, OnAfterBind, OnBeforeListenerRun;

  // Number of connection threads not yet reaped: for tests and benchmarks.
  std::size_t ConnectionThreadCount();

 protected:
  virtual void CheckOkToBeActive() {}
  virtual void ContextCreated(TContext& context);
  virtual void ContextConnected(TContext& context);
  virtual void ContextDisconnected(TContext& context);
  virtual void DoBeforeBind(TSocketHandle& binding);
  virtual void DoAfterBind(TSocketHandle& binding);
  virtual void DoBeforeListenerRun(TSocketHandle& binding);
  virtual void DoConnect(TContext& context);
  virtual void DoDisconnect(TContext& context);
  virtual void DoException(TContext& context, const std::exception& e);
  // The per-connection procedure, repeated while it answers true.
  virtual bool DoExecute(TContext& context);
  virtual void DoListenException(TSocketHandle& binding, const std::exception& e);
  virtual void DoMaxConnectionsExceeded(TTCPConnection&) {}
  virtual void Startup();
  virtual void Shutdown();

 private:
  struct TListener {
    TSocketHandle* binding = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
  };

  void StartListening();
  void ListenerRun(TListener& listener);
  void ConnectionRun(TContext& context);
  void ReapFinished();
  void TerminateAllConnections();

  std::atomic<bool> active_{false};
  TSocketHandles bindings_;
  std::vector<std::unique_ptr<TListener>> listeners_;
  std::mutex contextsLock_;
  std::list<std::unique_ptr<TContext>> contexts_;
};

// A TCP server whose per-connection work is its OnExecute event.
class TTCPServer : public TCustomTCPServer {
 public:
  // Every derived server stops in its own destructor: running threads call
  // its virtual operations until the stop has waited for them.
  ~TTCPServer() override;

 protected:
  void CheckOkToBeActive() override;
};

}  // namespace skan::share

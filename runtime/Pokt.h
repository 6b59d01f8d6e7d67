#pragma once
// Cross-process wake-ups between a table's writer and the processes that
// follow its notification queue.
//
// The writer listens on an abstract Unix-domain socket (SOCK_SEQPACKET,
// named in the owner file's socket information; abstract, so that a reader
// needs no permission on the table directory). A follower connects and
// then, whenever it has consumed the queue and goes idle, sends an "arm"
// message carrying the last sequence it has seen. The writer wakes an
// armed follower with one "wake" message as soon as it publishes a newer
// sequence, and disarms it. So a burst of writes costs one wake-up per
// follower and per arm, not one per write, and an idle follower blocks in
// its event loop without using CPU.
//
// The writer learns of new connections and arm messages by polling its
// sockets from notify() at most once per poll interval (the yield time),
// so that the cost of a write stays a couple of loads and a clock read,
// and, with an event loop (loopIs), also from the loop as they arrive. The
// polls from notify() hold with a loop too: a burst of writes keeps the
// writer out of its loop, and an arm must not wait for the burst's end. A
// connection is read as it is accepted (a follower may arm before that).
// An arm sent after the writer's last poll, with records published before
// its next one, is the follower's to catch (its backstop checks the queue
// shortly after each arm).
//
// Messages (8 bytes each, little-endian u64):
//   follower -> writer   arm:  the last sequence consumed
//   writer -> follower   wake: the newest sequence published
// A closed connection (the writer went away) is seen by the follower as a
// disconnect.
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Pokt {

class WriterPoktSm {
 public:
  explicit WriterPoktSm(Quiv::DebugHandler* handler);
  ~WriterPoktSm();
  WriterPoktSm(WriterPoktSm const&) = delete;
  WriterPoktSm& operator=(WriterPoktSm const&) = delete;

  // Starts listening under a name unique to this process and table; the
  // name is what goes into the owner file ('@' shown for the leading NUL).
  void listen(std::string_view tableName);
  void close();
  bool listening() const { return listenFd_ >= 0; }
  // The socket's name as bytes (leading NUL: abstract).
  std::string const& socketName() const { return name_; }
  U32 tableId() const { return tableId_; }

  // When set, connections and arm messages are handled by the loop as
  // they arrive; otherwise notify() polls for them.
  void loopIs(Quiv::EventLoop* loop);

  // A notification with sequence `seq` was published.
  void notify(U64 seq);
  // Handles pending connections and arm messages now, and wakes followers
  // that armed behind the newest sequence.
  void poll();

  // Off: nobody is woken. Back on: followers armed behind the newest
  // sequence are woken at once (they will not arm again by themselves).
  void notifyingIs(bool on);
  bool notifying() const { return notifying_; }
  // The least time between two polls from notify().
  void yieldTimeIs(double seconds);

  std::size_t connections() const { return conns_.size(); }
  U64 wakesSent() const { return wakesSent_; }
  U64 polls() const { return polls_; }

 private:
  struct Conn {
    int fd;
    bool armed;
    U64 armedAt;
  };
  void acceptAll();
  void watch(int fd);
  void readConn(Conn& c);
  void wake(Conn& c);
  void dropClosed();

  Quiv::DebugHandler* handler_;
  int listenFd_ = -1;
  std::string name_;
  U32 tableId_ = 0;
  std::vector<Conn> conns_;
  std::vector<struct pollfd> pollFds_;
  Quiv::EventLoop* loop_ = nullptr;
  bool notifying_ = true;
  U64 lastSeq_ = 0;
  bool anyArmed_ = false;
  std::chrono::steady_clock::time_point lastPoll_{};
  std::chrono::nanoseconds pollInterval_ = std::chrono::microseconds(50);
  U64 wakesSent_ = 0;
  U64 polls_ = 0;
};

class ReaderPoktSm {
 public:
  using WakeFn = std::function<void(U64 seq)>;
  using DisconnectFn = std::function<void()>;

  ReaderPoktSm(Quiv::DebugHandler* handler, Quiv::EventLoop& loop);
  ~ReaderPoktSm();
  ReaderPoktSm(ReaderPoktSm const&) = delete;
  ReaderPoktSm& operator=(ReaderPoktSm const&) = delete;

  void onWakeIs(WakeFn fn) { onWake_ = std::move(fn); }
  void onDisconnectIs(DisconnectFn fn) { onDisconnect_ = std::move(fn); }

  // Connects to the writer's socket (as named in the owner file). False,
  // traced, when nobody listens there.
  bool connect(std::string const& socketName);
  void disconnect();
  bool connected() const { return fd_ >= 0; }

  // Tells the writer that everything up to `seq` was consumed: the next
  // newer notification wakes this follower.
  void arm(U64 seq);

  void notifyingIs(bool on) { notifying_ = on; }
  void yieldTimeIs(double seconds) { yieldSeconds_ = seconds; }
  U64 wakes() const { return wakes_; }
  U64 arms() const { return arms_; }

 private:
  void onReadable();

  Quiv::DebugHandler* handler_;
  Quiv::EventLoop& loop_;
  int fd_ = -1;
  WakeFn onWake_;
  DisconnectFn onDisconnect_;
  bool notifying_ = true;
  double yieldSeconds_ = 0;
  U64 wakes_ = 0;
  U64 arms_ = 0;
};

// The text form of a socket name: '@' for a leading NUL.
std::string showSocketName(std::string const& name);

}  // namespace Pokt

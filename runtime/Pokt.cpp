#include "VexaSwitchLib/runtime/Pokt.h"

#include <poll.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "VexaSwitchLib/runtime/Exception.h"

namespace Pokt {

namespace {

sockaddr_un addressOf(std::string const& name, socklen_t& len) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (name.empty() || name.size() >= sizeof addr.sun_path)
    fmthrow(Quiv::InvalidInitializeException, "bad wake-up socket name of {} bytes", name.size());
  std::memcpy(addr.sun_path, name.data(), name.size());
  len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
  return addr;
}

// Sends one 8-byte message without blocking; false when the peer is gone
// or its receive queue is full (a full queue already holds a wake-up).
bool sendWord(int fd, U64 v) {
  return ::send(fd, &v, sizeof v, MSG_DONTWAIT | MSG_NOSIGNAL) == ssize_t(sizeof v);
}

// Reads the 8-byte messages queued on `fd`, a batch per call (a loop of
// recv makes one call more per turn, to find the queue empty); `newest`
// gets the last one. Returns how many were read, or -1 when the peer is
// gone: a closed connection reads as zero-length messages, which nobody
// sends.
int recvWords(int fd, U64& newest) {
  constexpr unsigned N = 8;
  U64 words[N];
  iovec iov[N];
  mmsghdr msgs[N];
  std::memset(msgs, 0, sizeof msgs);
  for (unsigned i = 0; i < N; ++i) {
    iov[i] = {&words[i], sizeof words[i]};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  int total = 0;
  for (;;) {
    int n = ::recvmmsg(fd, msgs, N, MSG_DONTWAIT, nullptr);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? total : -1;
    for (int i = 0; i < n; ++i) {
      if (msgs[i].msg_len != sizeof(U64)) return -1;
      newest = words[i];
    }
    total += n;
    if (unsigned(n) < N) return total;
  }
}

std::atomic<U32> listenCounter{0};

}  // namespace

std::string showSocketName(std::string const& name) {
  if (!name.empty() && name[0] == '\0') {
    std::string shown(1, '@');
    shown.append(name, 1);
    return shown;
  }
  return name;
}

// --- writer -----------------------------------------------------------------------

WriterPoktSm::WriterPoktSm(Quiv::DebugHandler* handler) : handler_(handler) {}
WriterPoktSm::~WriterPoktSm() { close(); }

void WriterPoktSm::listen(std::string_view tableName) {
  close();
  tableId_ = ++listenCounter;
  // Unique per process and table; the table name is only there for people
  // reading the owner file and may be cut short.
  std::string tail(tableName.substr(0, 60));
  name_.assign(1, '\0');
  name_ += fmt::format("vexa.pokt.{}.{}.{}", ::getpid(), tableId_, tail);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) fmthrow(Quiv::InvalidInitializeException, "wake-up socket: {}", std::strerror(errno));
  socklen_t len;
  sockaddr_un addr = addressOf(name_, len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 64) != 0) {
    int err = errno;
    ::close(fd);
    fmthrow(Quiv::InvalidInitializeException, "cannot listen on {}: {}", showSocketName(name_), std::strerror(err));
  }
  listenFd_ = fd;
  // Watched by the loop as loopIs sets it up (there is no connection yet).
  if (Quiv::EventLoop* loop = std::exchange(loop_, nullptr)) loopIs(loop);
  fmtrace(handler_, 5, "listening on {}", showSocketName(name_));
}

void WriterPoktSm::close() {
  for (Conn& c : conns_) {
    if (loop_) loop_->fdDel(c.fd);
    ::close(c.fd);
  }
  conns_.clear();
  anyArmed_ = false;
  if (listenFd_ >= 0) {
    if (loop_) loop_->fdDel(listenFd_);
    ::close(listenFd_);
    listenFd_ = -1;
  }
}

void WriterPoktSm::loopIs(Quiv::EventLoop* loop) {
  if (loop_ == loop) return;
  if (loop_) {
    if (listenFd_ >= 0) loop_->fdDel(listenFd_);
    for (Conn& c : conns_) loop_->fdDel(c.fd);
  }
  loop_ = loop;
  if (!loop_) return;
  if (listenFd_ >= 0) loop_->fdIs(listenFd_, [this] {
    acceptAll();
    dropClosed();
  });
  for (Conn& c : conns_) watch(c.fd);
}

void WriterPoktSm::notifyingIs(bool on) {
  bool was = notifying_;
  notifying_ = on;
  if (on && !was && anyArmed_) notify(lastSeq_);
}

void WriterPoktSm::yieldTimeIs(double seconds) {
  if (seconds < 0) seconds = 0;
  pollInterval_ = std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9));
}

void WriterPoktSm::acceptAll() {
  if (listenFd_ < 0) return;
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    conns_.push_back(Conn{fd, false, 0});
    fmtrace(handler_, 5, "follower connected, {} connections", conns_.size());
    if (loop_) watch(fd);
    // A follower arms as soon as it has synchronised, maybe before it was
    // accepted: answered now, not at the next poll (which a writer that
    // went quiet never makes).
    readConn(conns_.back());
  }
}

void WriterPoktSm::watch(int fd) {
  loop_->fdIs(fd, [this, fd] {
    for (Conn& k : conns_)
      if (k.fd == fd) readConn(k);
    dropClosed();
  });
}

void WriterPoktSm::readConn(Conn& c) {
  U64 seq = 0;
  int n = recvWords(c.fd, seq);
  if (n > 0) {
    c.armed = true;
    c.armedAt = seq;
    anyArmed_ = true;
  } else if (n < 0) {
    if (loop_) loop_->fdDel(c.fd);
    ::close(c.fd);
    c.fd = -1;
  }
  if (c.fd >= 0 && c.armed && c.armedAt < lastSeq_ && notifying_) wake(c);
}

void WriterPoktSm::wake(Conn& c) {
  if (sendWord(c.fd, lastSeq_)) ++wakesSent_;
  c.armed = false;
}

void WriterPoktSm::dropClosed() {
  for (std::size_t i = 0; i < conns_.size();) {
    if (conns_[i].fd < 0) {
      conns_[i] = conns_.back();
      conns_.pop_back();
      fmtrace(handler_, 5, "follower went away, {} connections", conns_.size());
    } else {
      ++i;
    }
  }
}

void WriterPoktSm::poll() {
  ++polls_;
  lastPoll_ = std::chrono::steady_clock::now();
  // One system call finds out whether anything is pending at all; only
  // then are the ready descriptors read. This keeps a poll from a write
  // cheap enough to do often.
  pollFds_.clear();
  pollFds_.push_back({listenFd_, POLLIN, 0});
  for (Conn const& c : conns_) pollFds_.push_back({c.fd, POLLIN, 0});
  int ready = ::poll(pollFds_.data(), nfds_t(pollFds_.size()), 0);
  if (ready <= 0) return;
  if (pollFds_[0].revents) acceptAll();
  for (std::size_t i = 1; i < pollFds_.size() && i - 1 < conns_.size(); ++i)
    if (pollFds_[i].revents) readConn(conns_[i - 1]);
  dropClosed();
}

void WriterPoktSm::notify(U64 seq) {
  lastSeq_ = seq;
  if (!notifying_ || listenFd_ < 0) return;
  if (anyArmed_) {
    anyArmed_ = false;
    for (Conn& c : conns_) {
      if (c.armed && c.armedAt < seq) wake(c);
      anyArmed_ = anyArmed_ || c.armed;
    }
  }
  // Also with a loop: a burst of writes keeps the writer out of it, and a
  // follower's arm must not wait for the burst's end.
  auto now = std::chrono::steady_clock::now();
  if (now - lastPoll_ >= pollInterval_) poll();
}

// --- follower ------------------------------------------------------------------------

ReaderPoktSm::ReaderPoktSm(Quiv::DebugHandler* handler, Quiv::EventLoop& loop) : handler_(handler), loop_(loop) {}
ReaderPoktSm::~ReaderPoktSm() { disconnect(); }

bool ReaderPoktSm::connect(std::string const& socketName) {
  disconnect();
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  socklen_t len;
  sockaddr_un addr;
  try {
    addr = addressOf(socketName, len);
  } catch (Quiv::Exception const& e) {
    ::close(fd);
    fmtrace(handler_, 1, "{}", e.msg());
    return false;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 && errno != EINPROGRESS) {
    fmtrace(handler_, 1, "cannot connect to {}: {}", showSocketName(socketName), std::strerror(errno));
    ::close(fd);
    return false;
  }
  fd_ = fd;
  loop_.fdIs(fd_, [this] { onReadable(); });
  fmtrace(handler_, 5, "connected to {}", showSocketName(socketName));
  return true;
}

void ReaderPoktSm::disconnect() {
  if (fd_ < 0) return;
  loop_.fdDel(fd_);
  ::close(fd_);
  fd_ = -1;
}

void ReaderPoktSm::arm(U64 seq) {
  if (fd_ < 0 || !notifying_) return;
  if (sendWord(fd_, seq)) ++arms_;
}

void ReaderPoktSm::onReadable() {
  U64 newest = 0;
  int n = recvWords(fd_, newest);
  if (n < 0) {
    fmtrace(handler_, 1, "writer disconnected");
    disconnect();
    if (onDisconnect_) onDisconnect_();
    return;
  }
  if (n == 0) return;
  ++wakes_;
  if (onWake_) onWake_(newest);
}

}  // namespace Pokt

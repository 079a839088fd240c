// A simulated link for the benchmarks: it listens on 127.0.0.1, forwards
// every connection it accepts to a target and holds every byte for half a
// round trip in each direction; with a rate it also lets no direction of a
// connection carry more than that many bytes a second, as providers cap
// their connections.
//
//   link_relay [--port N] <target host:port> <round trip in ms> [<bytes/s per connection and direction>]
//
// It listens on port N (any free port without --port) with SO_REUSEADDR, so
// that a relay killed and started again on the same port comes back at once,
// as a provider's server restarting does. It prints the port it listens on and relays until its standard
// input closes, so a benchmark that ends, however it ends, takes it along. It runs as a process of its own so
// that its work counts neither in the memory nor in the processor time of what it measures.
//
// One thread, epoll and a timer: what a read brings is queued as one chunk
// stamped with the time it may leave, and leaves in one write. A direction
// holds at most 4 MiB (with a cap, what the cap lets through in the delay
// and 256 KiB more); beyond that the relay stops reading it and the sender's
// own TCP window holds the rest, so memory stays bounded whatever the peers
// do. An end of stream is passed on after the data before it,
// with the same delay; a reset or a failed write resets both sides at once.

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock; // CLOCK_MONOTONIC, as the timer's
using TTime = TClock::time_point;

// 4 MiB a direction carries 280 MB/s over a 30 ms round trip on one
// connection, more than a provider gives one connection. A capped direction
// needs no more than the delay's worth at its rate and some to send while
// the next read waits out its delay.
constexpr std::size_t MaxHeld = 4 << 20;
constexpr std::size_t CappedSlack = 256 << 10;
constexpr std::size_t ReadSize = 256 << 10;
// A capped direction may send this much at once after a pause, and waits
// for this much credit before it writes again.
constexpr double Burst = 64 << 10;
constexpr double Quantum = 16 << 10;

struct TChunk {
  TTime Due;
  std::unique_ptr<char[]> Data;
  std::size_t Begin = 0, End = 0;
};

// The bytes on their way from one socket to the other.
struct TDirection {
  int From = -1, To = -1;
  std::deque<TChunk> Queue;
  std::size_t Held = 0, Limit = MaxHeld;
  bool Ended = false; // From ended; To is shut once the queue is out
  TTime EndDue;
  bool Shut = false;    // To has been shut for writing
  bool Blocked = false; // To's send buffer is full: wait until it takes more
  double Credit = Burst;
  TTime CreditAt;

  bool WantsRead() const { return !Ended && Held < Limit; }
  bool Finished() const { return Shut; }
};

struct TConnection;

// What an epoll event points at: one of the two sockets of a connection.
struct TEnd {
  TConnection* Conn = nullptr;
  int Fd = -1;
  std::uint32_t Events = 0; // registered; 0 = not in the epoll set
};

struct TConnection {
  TEnd Client, Server;
  TDirection Up, Down; // client to server, server to client
  bool Connecting = true;
  bool Dead = false;
};

class TRelay {
public:
  TRelay(const sockaddr_in& Target, std::chrono::nanoseconds Delay, double Rate)
      : FTarget(Target), FDelay(Delay), FRate(Rate),
        FLimit(Rate > 0 ? std::min(MaxHeld, std::size_t(Rate * std::chrono::duration<double>(Delay).count()) +
                                                CappedSlack)
                        : MaxHeld) {}
  ~TRelay();
  // Listens and prints the port; false when it cannot.
  bool Listen(std::uint16_t Port);
  void Run();

private:
  void Accept();
  void Event(TEnd& End, std::uint32_t Events);
  void ConnectDone(TConnection& C);
  void Read(TConnection& C, TDirection& D);
  void Write(TConnection& C, TDirection& D, TTime Now);
  std::optional<TTime> NextDue(const TDirection& D) const;
  void Register(TEnd& End, std::uint32_t Events);
  void UpdateInterest(TConnection& C);
  void Fail(TConnection& C);
  void Close(TConnection& C, bool Reset);
  void ArmTimer();

  sockaddr_in FTarget;
  std::chrono::nanoseconds FDelay;
  double FRate;       // bytes/s a direction, 0 = no cap
  std::size_t FLimit; // bytes held a direction
  int FEpoll = -1, FListen = -1, FTimer = -1;
  std::list<TConnection> FConnections;
  std::unique_ptr<char[]> FBuffer = std::make_unique_for_overwrite<char[]>(ReadSize);
};

// Tags of the epoll events that are no socket of a connection.
TEnd ListenTag, TimerTag, LifeTag;

TRelay::~TRelay() {
  for (TConnection& c : FConnections)
    if (!c.Dead)
      Close(c, false);
  for (const int fd : {FTimer, FListen, FEpoll})
    if (fd >= 0)
      ::close(fd);
}

bool TRelay::Listen(std::uint16_t Port) {
  FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  FTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FEpoll < 0 || FTimer < 0 || FListen < 0)
    return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(Port);
  const int one = 1;
  ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t size = sizeof local;
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(FListen, 64) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&local), &size) != 0)
    return false;
  for (auto [fd, tag] : {std::pair{FListen, &ListenTag}, std::pair{FTimer, &TimerTag},
                         std::pair{int(STDIN_FILENO), &LifeTag}}) {
    epoll_event e{EPOLLIN, {.ptr = tag}};
    if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &e) != 0)
      return false;
  }
  std::printf("%u\n", unsigned(ntohs(local.sin_port)));
  std::fflush(stdout);
  return true;
}

void TRelay::Run() {
  epoll_event events[64];
  for (;;) {
    const int n = ::epoll_wait(FEpoll, events, 64, -1);
    if (n < 0 && errno != EINTR)
      return;
    for (int i = 0; i < n; ++i) {
      TEnd* end = static_cast<TEnd*>(events[i].data.ptr);
      if (end == &LifeTag) {
        char c;
        if (::read(STDIN_FILENO, &c, 1) <= 0)
          return;
      } else if (end == &ListenTag)
        Accept();
      else if (end == &TimerTag) {
        std::uint64_t ticks;
        [[maybe_unused]] const ssize_t r = ::read(FTimer, &ticks, sizeof ticks);
      } else if (!end->Conn->Dead)
        Event(*end, events[i].events);
    }
    // Whatever is due leaves now, on every connection; a few connections
    // make this cheaper than keeping them in order of their next due time.
    const TTime now = TClock::now();
    for (auto it = FConnections.begin(); it != FConnections.end();) {
      TConnection& c = *it;
      if (!c.Dead && !c.Connecting) {
        Write(c, c.Up, now);
        if (!c.Dead)
          Write(c, c.Down, now);
        if (!c.Dead && c.Up.Finished() && c.Down.Finished())
          Close(c, false);
      }
      if (!c.Dead)
        UpdateInterest(c);
      it = c.Dead ? FConnections.erase(it) : std::next(it);
    }
    ArmTimer();
  }
}

void TRelay::Accept() {
  for (;;) {
    const int client = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0)
      return;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    TConnection& c = FConnections.emplace_back();
    c.Client = {&c, client, 0};
    c.Server = {&c, server, 0};
    c.Up.From = c.Down.To = client;
    c.Up.To = c.Down.From = server;
    c.Up.CreditAt = c.Down.CreditAt = TClock::now();
    c.Up.Limit = c.Down.Limit = FLimit;
    if (server < 0) {
      Fail(c);
      continue;
    }
    // Commands are small; Nagle would hold them beyond the simulated delay.
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&FTarget), sizeof FTarget) != 0 &&
        errno != EINPROGRESS) {
      Fail(c);
      continue;
    }
    // The client is read only once the target answered.
    Register(c.Server, EPOLLOUT);
  }
}

void TRelay::Event(TEnd& End, std::uint32_t Events) {
  TConnection& c = *End.Conn;
  if (c.Connecting) {
    ConnectDone(c);
    return;
  }
  const bool isClient = &End == &c.Client;
  TDirection& reading = isClient ? c.Up : c.Down;
  TDirection& writing = isClient ? c.Down : c.Up;
  if (Events & EPOLLOUT)
    writing.Blocked = false;
  if (Events & (EPOLLIN | EPOLLHUP | EPOLLERR))
    Read(c, reading);
}

void TRelay::ConnectDone(TConnection& C) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(C.Server.Fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    Fail(C);
    return;
  }
  C.Connecting = false;
}

void TRelay::Read(TConnection& C, TDirection& D) {
  while (D.WantsRead()) {
    // read(), not recv(): the kernel counts what read() brings in the
    // process's rchar, which the benchmarks take for the link's bytes.
    const ssize_t n = ::read(D.From, FBuffer.get(), ReadSize);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;
    if (n < 0) {
      Fail(C);
      return;
    }
    const TTime due = TClock::now() + FDelay;
    if (n == 0) {
      D.Ended = true;
      D.EndDue = due;
      return;
    }
    TChunk chunk{due, std::make_unique_for_overwrite<char[]>(std::size_t(n)), 0, std::size_t(n)};
    std::memcpy(chunk.Data.get(), FBuffer.get(), std::size_t(n));
    D.Queue.push_back(std::move(chunk));
    D.Held += std::size_t(n);
    if (std::size_t(n) < ReadSize)
      return;
  }
}

// Sends what is due, as far as the rate's credit and the peer's window let.
void TRelay::Write(TConnection& C, TDirection& D, TTime Now) {
  if (D.Shut || D.Blocked)
    return;
  if (FRate > 0) {
    D.Credit = std::min(Burst, D.Credit + FRate * std::chrono::duration<double>(Now - D.CreditAt).count());
    D.CreditAt = Now;
  }
  while (!D.Queue.empty() && D.Queue.front().Due <= Now) {
    TChunk& chunk = D.Queue.front();
    std::size_t size = chunk.End - chunk.Begin;
    if (FRate > 0) {
      if (D.Credit < std::min(double(size), Quantum))
        return;
      size = std::min(size, std::size_t(D.Credit));
    }
    const ssize_t n = ::send(D.To, chunk.Data.get() + chunk.Begin, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      D.Blocked = true;
      return;
    }
    if (n < 0) {
      Fail(C);
      return;
    }
    chunk.Begin += std::size_t(n);
    D.Held -= std::size_t(n);
    D.Credit -= double(n);
    if (chunk.Begin == chunk.End)
      D.Queue.pop_front();
    if (std::size_t(n) < size) {
      D.Blocked = true;
      return;
    }
  }
  if (D.Queue.empty() && D.Ended && D.EndDue <= Now) {
    ::shutdown(D.To, SHUT_WR);
    D.Shut = true;
  }
}

// When the direction has something to do next without a socket event.
std::optional<TTime> TRelay::NextDue(const TDirection& D) const {
  if (D.Shut || D.Blocked)
    return std::nullopt;
  if (D.Queue.empty())
    return D.Ended ? std::optional(D.EndDue) : std::nullopt;
  const TChunk& chunk = D.Queue.front();
  if (FRate <= 0 || chunk.Due > D.CreditAt)
    return chunk.Due;
  const double need = std::min(double(chunk.End - chunk.Begin), Quantum) - D.Credit;
  return D.CreditAt +
         std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(need / FRate));
}

void TRelay::ArmTimer() {
  std::optional<TTime> next;
  for (const TConnection& c : FConnections)
    for (const TDirection* d : {&c.Up, &c.Down})
      if (!c.Connecting)
        if (const auto due = NextDue(*d); due && (!next || *due < *next))
          next = due;
  itimerspec when{};
  if (next) {
    // 0 would disarm the timer: a time already past is 1 ns.
    const auto ns = std::max<std::int64_t>(1, std::chrono::nanoseconds(next->time_since_epoch()).count());
    when.it_value = {time_t(ns / 1000000000), long(ns % 1000000000)};
  }
  ::timerfd_settime(FTimer, TFD_TIMER_ABSTIME, &when, nullptr);
}

void TRelay::Register(TEnd& End, std::uint32_t Events) {
  if (Events == End.Events)
    return;
  epoll_event e{Events, {.ptr = &End}};
  // An end with nothing to wait for leaves the set, so that a hang-up it
  // no longer reads is not reported over and over.
  const int op = Events == 0 ? EPOLL_CTL_DEL : End.Events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  ::epoll_ctl(FEpoll, op, End.Fd, &e);
  End.Events = Events;
}

void TRelay::UpdateInterest(TConnection& C) {
  if (C.Connecting)
    return;
  Register(C.Client,
           (C.Up.WantsRead() ? std::uint32_t(EPOLLIN) : 0) | (C.Down.Blocked ? std::uint32_t(EPOLLOUT) : 0));
  Register(C.Server,
           (C.Down.WantsRead() ? std::uint32_t(EPOLLIN) : 0) | (C.Up.Blocked ? std::uint32_t(EPOLLOUT) : 0));
}

// A reset or a write that failed: both peers learn at once, by a reset of
// their own, so that neither takes a cut stream for a whole one.
void TRelay::Fail(TConnection& C) { Close(C, true); }

void TRelay::Close(TConnection& C, bool Reset) {
  for (TEnd* end : {&C.Client, &C.Server}) {
    if (end->Fd < 0)
      continue;
    if (Reset) {
      const linger now{1, 0};
      ::setsockopt(end->Fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    ::close(end->Fd); // leaves the epoll set with it
    end->Fd = -1;
  }
  C.Up.Queue.clear();
  C.Down.Queue.clear();
  C.Dead = true;
}

std::optional<sockaddr_in> Resolve(const std::string& HostPort) {
  const std::size_t colon = HostPort.rfind(':');
  if (colon == std::string::npos)
    return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(HostPort.substr(0, colon).c_str(), HostPort.substr(colon + 1).c_str(), &hints, &found) !=
      0)
    return std::nullopt;
  sockaddr_in address;
  std::memcpy(&address, found->ai_addr, sizeof address);
  ::freeaddrinfo(found);
  return address;
}

} // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  if (argc > 2 && std::strcmp(argv[1], "--port") == 0) {
    port = std::uint16_t(std::atoi(argv[2]));
    argc -= 2;
    argv += 2;
  }
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: link_relay [--port N] <target host:port> <round trip in ms> [<bytes/s per "
                         "connection and direction>]\n");
    return 2;
  }
  const auto target = Resolve(argv[1]);
  if (!target) {
    std::fprintf(stderr, "link_relay: cannot resolve %s\n", argv[1]);
    return 2;
  }
  const double roundTripMs = std::atof(argv[2]);
  const double rate = argc == 4 ? std::atof(argv[3]) : 0;
  ::signal(SIGPIPE, SIG_IGN);
  TRelay relay(*target, std::chrono::nanoseconds(std::int64_t(roundTripMs * 1e6 / 2)), rate);
  if (!relay.Listen(port)) {
    std::fprintf(stderr, "link_relay: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  relay.Run();
  return 0;
}

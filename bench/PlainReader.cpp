#include "PlainReader.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>

namespace {

constexpr std::size_t ReceiveSize = 256 << 10;
constexpr int SilenceMs = 60000; // no byte for this long: the read is given up

// A socket that is closed with its owner.
struct TSocket {
  int Fd = -1;
  std::string In; // received, not yet taken
  TSocket() = default;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  ~TSocket() {
    if (Fd >= 0)
      ::close(Fd);
  }
};

bool Connect(TSocket& S, const std::string& Host, std::uint16_t Port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found) != 0)
    return false;
  S.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool ok = S.Fd >= 0 && ::connect(S.Fd, found->ai_addr, found->ai_addrlen) == 0;
  ::freeaddrinfo(found);
  if (!ok)
    return false;
  const int one = 1;
  ::setsockopt(S.Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const timeval wait{SilenceMs / 1000, 0};
  ::setsockopt(S.Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  return true;
}

// Blocking: sends Command (unless empty) and reads one line of the reply.
bool Line(TSocket& S, const std::string& Command, std::string& Text) {
  if (!Command.empty() &&
      ::send(S.Fd, Command.data(), Command.size(), MSG_NOSIGNAL) != ssize_t(Command.size()))
    return false;
  char buffer[65536];
  for (std::size_t eol; (eol = S.In.find("\r\n")) == std::string::npos;) {
    const ssize_t n = ::recv(S.Fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      return false;
    S.In.append(buffer, std::size_t(n));
  }
  const std::size_t eol = S.In.find("\r\n");
  Text = S.In.substr(0, eol);
  S.In.erase(0, eol + 2);
  return true;
}

// Greeting and GROUP; the first and last article numbers of the group.
bool Open(TSocket& S, const std::string& Host, std::uint16_t Port, const std::string& Group,
          std::int64_t& First, std::int64_t& Last, std::string& Error) {
  std::string reply;
  if (!Connect(S, Host, Port) || !Line(S, "", reply) || reply.rfind("20", 0) != 0) {
    Error = "no greeting from " + Host + ":" + std::to_string(Port) + " " + reply;
    return false;
  }
  long long count = 0, first = 0, last = 0;
  if (!Line(S, "GROUP " + Group + "\r\n", reply) ||
      std::sscanf(reply.c_str(), "211 %lld %lld %lld", &count, &first, &last) != 3) {
    Error = "GROUP " + Group + ": " + reply;
    return false;
  }
  First = first;
  Last = last;
  return true;
}

// One connection of a read: the numbers asked for, in order, and where it
// is in the reply it reads.
struct TFetch {
  TSocket Socket;
  std::string Out; // commands not yet written
  std::deque<std::int64_t> Asked;
  bool InBody = false;
};

// Takes the replies in what a receive brought, where it lies: nothing of a
// body is copied or looked at twice, as a reader that only stores would
// do. Socket.In gathers a status line until its CR LF; while a body comes,
// it holds the last 4 bytes before Data, where the body's end may begin.
bool TakeReplies(TFetch& F, std::string_view Data, TPlainRead& Result) {
  static constexpr std::string_view End = "\r\n.\r\n";
  std::string& in = F.Socket.In;
  while (!Data.empty()) {
    if (!F.InBody) {
      const std::size_t lf = Data.find('\n');
      in.append(Data.substr(0, lf == std::string_view::npos ? Data.size() : lf + 1));
      Data.remove_prefix(lf == std::string_view::npos ? Data.size() : lf + 1);
      if (in.size() < 2 || in.compare(in.size() - 2, 2, "\r\n") != 0)
        continue;
      if (F.Asked.empty() || in.compare(0, 4, "222 ") != 0) {
        Result.Error = "BODY " + (F.Asked.empty() ? "?" : std::to_string(F.Asked.front())) + ": " +
                       in.substr(0, in.size() - 2);
        return false;
      }
      // From the status line's CR LF, so that an empty body's end is found.
      in = "\r\n";
      F.InBody = true;
      continue;
    }
    // The end across the edge of what came before, then within Data.
    std::string edge = in;
    edge.append(Data.substr(0, End.size() - 1));
    std::size_t after = std::string_view::npos;
    if (const std::size_t at = edge.find(End); at != std::string::npos) {
      after = at + End.size() - in.size();
    } else if (const void* at = ::memmem(Data.data(), Data.size(), End.data(), End.size())) {
      after = std::size_t(static_cast<const char*>(at) - Data.data()) + End.size();
    }
    if (after == std::string_view::npos) {
      edge = in;
      edge.append(Data.substr(Data.size() - std::min(Data.size(), End.size() - 1)));
      in = edge.substr(edge.size() - std::min(edge.size(), End.size() - 1));
      break;
    }
    Data.remove_prefix(after);
    in.clear();
    F.InBody = false;
    F.Asked.pop_front();
    ++Result.Bodies;
  }
  return true;
}

} // namespace

std::vector<std::int64_t> TPlainReader::InRange(std::int64_t MinLines, std::int64_t MaxLines,
                                                std::string& Error) const {
  TSocket s;
  std::int64_t first = 0, last = 0;
  std::vector<std::int64_t> found;
  if (!Open(s, FHost, FPort, FGroup, first, last, Error))
    return found;
  std::string line;
  if (!Line(s, "XOVER " + std::to_string(first) + "-" + std::to_string(last) + "\r\n", line) ||
      line.rfind("224", 0) != 0) {
    Error = "XOVER: " + line;
    return found;
  }
  // number, subject, from, date, message-id, references, bytes, lines
  while (Line(s, "", line) && line != ".") {
    std::size_t at = 0;
    for (int field = 0; field < 7 && at != std::string::npos; ++field)
      at = line.find('\t', at + (field > 0));
    if (at == std::string::npos)
      continue;
    const std::int64_t lines = std::atoll(line.c_str() + at + 1);
    if (lines >= MinLines && lines <= MaxLines)
      found.push_back(std::atoll(line.c_str()));
  }
  if (line != ".") {
    Error = "XOVER cut short";
    found.clear();
  }
  return found;
}

TPlainRead TPlainReader::Read(const std::vector<std::int64_t>& Articles, int Connections, int Depth) const {
  TPlainRead result;
  std::vector<TFetch> fetches(std::size_t(std::max(1, Connections)));
  for (TFetch& f : fetches) {
    std::int64_t first, last;
    if (!Open(f.Socket, FHost, FPort, FGroup, first, last, result.Error))
      return result;
  }
  TSocket sink; // closed with the read
  if (!FSink.empty() &&
      (sink.Fd = ::open(FSink.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0) {
    result.Error = FSink + ": " + std::strerror(errno);
    return result;
  }
  std::vector<pollfd> polls(fetches.size());
  auto buffer = std::make_unique_for_overwrite<char[]>(ReceiveSize);
  std::size_t next = 0;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    bool busy = false;
    for (std::size_t i = 0; i < fetches.size(); ++i) {
      TFetch& f = fetches[i];
      for (; next < Articles.size() && f.Asked.size() < std::size_t(Depth); ++next) {
        f.Out += "BODY " + std::to_string(Articles[next]) + "\r\n";
        f.Asked.push_back(Articles[next]);
      }
      busy = busy || !f.Asked.empty();
      polls[i] = {f.Socket.Fd, short(POLLIN | (f.Out.empty() ? 0 : POLLOUT)), 0};
    }
    if (!busy)
      break;
    const int n = ::poll(polls.data(), polls.size(), SilenceMs);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      result.Error =
          n == 0 ? "no reply for " + std::to_string(SilenceMs / 1000) + " s" : std::strerror(errno);
      return result;
    }
    for (std::size_t i = 0; i < fetches.size(); ++i) {
      TFetch& f = fetches[i];
      if (polls[i].revents & POLLOUT) {
        const ssize_t sent = ::send(f.Socket.Fd, f.Out.data(), f.Out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0)
          f.Out.erase(0, std::size_t(sent));
      }
      if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      const ssize_t got = ::recv(f.Socket.Fd, buffer.get(), ReceiveSize, MSG_DONTWAIT);
      if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
        result.Error = got == 0 ? "connection closed by the server" : std::strerror(errno);
        return result;
      }
      if (got > 0) {
        result.Bytes += std::uint64_t(got);
        if (sink.Fd >= 0 && ::write(sink.Fd, buffer.get(), std::size_t(got)) != got) {
          result.Error = FSink + ": " + std::strerror(errno);
          return result;
        }
        if (!TakeReplies(f, std::string_view(buffer.get(), std::size_t(got)), result))
          return result;
      }
    }
  }
  result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (TFetch& f : fetches)
    ::send(f.Socket.Fd, "QUIT\r\n", 6, MSG_NOSIGNAL | MSG_DONTWAIT);
  return result;
}

double TPlainReader::RoundTripMs() const {
  TSocket s;
  std::int64_t first, last;
  std::string error, reply;
  if (!Open(s, FHost, FPort, FGroup, first, last, error))
    return 0;
  std::vector<double> times;
  for (int i = 0; i < 9; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!Line(s, "DATE\r\n", reply))
      return 0;
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Receives a large BODY reply of 128-character lines from a loopback server,
// once through TNntpCli (counted in OnMessageLine) and once with plain recv
// calls of the client's receive size, and prints both rates and the
// processor time of the receiving thread.
//
// It does so twice: with the sender on the system's congestion control, and
// with the sender on one that does not pace (cubic, or reno where cubic may
// not be chosen). On loopback a pacing sender such as bbr sets its rate from
// what the receiver took a moment ago, and the receiver's own receive does
// the sender's sending each time it opens the window again: a receiver that
// does any work per line is held back far beyond that work. A server across
// a real network sends at the network's pace, and its sending is done on its
// own machine.
//
// "nntp_bench client" or "nntp_bench plain" runs that side alone, ten times,
// for a profiler; a third word names the sender's congestion control.
// "nntp_bench pipelined" runs only the comparison of pipelined bodies,
// "nntp_bench fetcher" only the fetcher's, "nntp_bench compressed" only the
// compressed transfers'.
//
// Then it fetches a group of bodies through TNntpCli one at a time and with
// 4 and 8 requests in flight, from a server that answers at once and from
// one that answers each command 30 ms after it came, as across a link with
// that round trip; and a group of yEnc-sized bodies (768,000 bytes in lines
// of 128 characters) through TArticleFetcher, in order, over 1, 4 and 8
// connections with 4 requests in flight each, against one connection with
// one request at a time, as the decode window fetches today.
//
// Then it fetches the overview of a group of 100,000 articles (XOVER blocks
// of 1,000, 4 in flight, as the overview walk asks) and a set of yEnc-like
// bodies, each plainly and compressed (COMPRESS DEFLATE) in turns, and
// prints the bytes on the link, the bytes of text, the time and the
// receiving thread's processor time, medians of five runs each. Over
// loopback the link costs nothing, so the time shows what compressing (the
// server's) and inflating (ours) cost; what a slower link gains is its
// rate times the bytes saved.
//
// With INN_GROUP=<group> (and INN_SERVER=host:port, 127.0.0.1:119 unless
// set), it also fetches the last INN_BODIES (260 unless set) articles of
// that group from a news server, one BODY after the other, both ways: the
// rate a real server on this machine allows each. bench/inn_post.py posts
// such a group.

#include "nntp/NntpCli.h"
#include "tests/support/ScriptedNewsServer.h"
#include "walk/ArticleFetcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

const int LineLen = 128;
// What the client asks the socket for at most in one receive.
const int ReceiveSize = 262144;
const int LinesPerBlock = 512;
const std::string Status = "222 1 <body@bench> body follows";

std::string Block() {
  std::string block;
  for (int i = 0; i < LinesPerBlock; ++i)
    block += std::string(LineLen, char('A' + i % 26)) + "\r\n";
  return block;
}

// The sender's congestion control; empty for the system's.
std::string SenderControl;

void Script(TScriptedNewsServer& server, std::size_t blocks) {
  if (!SenderControl.empty())
    server.SetCongestionControl(SenderControl);
  server.Reply("200 bench ready")
      .Expect("BODY 1")
      .Reply(Status)
      .SendRepeated(Block(), blocks)
      .Send(".\r\n")
      .Silent()
      .Start();
}

long PeakKB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Processor time of the calling thread, system time included, in seconds.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct TResult {
  double Seconds = 0;
  double Busy = 0;        // the receiving thread's processor time over the same span
  std::int64_t Bytes = 0; // line text for the client, every byte for the drain
  std::int64_t Lines = 0;
  bool Ok = false;
};

TResult ThroughClient(std::size_t blocks) {
  TScriptedNewsServer server;
  Script(server, blocks);
  TNntpCli cli;
  TResult r;
  // The loop sleeps until the socket has bytes, as the plain loop sleeps in
  // recv: processEvents with a time limit never waits and would spin, taking
  // the server's processor on a small machine.
  QEventLoop loop;
  QTimer::singleShot(300000, &loop, &QEventLoop::quit);
  cli.OnSessionConnected = [&](TObject*, std::uint16_t) { loop.quit(); };
  cli.OnMessageLine = [&](TObject*) {
    ++r.Lines;
    r.Bytes += std::int64_t(cli.LastResponse().size());
  };
  cli.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t error) {
    r.Ok = error == 0;
    loop.quit();
  };
  cli.SetHost("127.0.0.1");
  cli.SetPort(server.PortText());
  cli.Connect();
  loop.exec();
  if (cli.State() != nntpReady)
    return r;
  const double busy = ThreadSeconds();
  QElapsedTimer clock;
  clock.start();
  cli.BodyByNumber(1);
  loop.exec();
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Busy = ThreadSeconds() - busy;
  r.Ok = r.Ok && r.Lines == std::int64_t(blocks) * LinesPerBlock;
  cli.Abort();
  return r;
}

TResult PlainDrain(std::size_t blocks) {
  TScriptedNewsServer server;
  Script(server, blocks);
  TResult r;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(server.Port());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return r;
  }
  const auto buf = std::make_unique_for_overwrite<char[]>(ReceiveSize);
  std::string greeting;
  while (greeting.find("\r\n") == std::string::npos) {
    ssize_t n = ::recv(fd, buf.get(), ReceiveSize, 0);
    if (n <= 0)
      break;
    greeting.append(buf.get(), std::size_t(n));
  }
  const double busy = ThreadSeconds();
  QElapsedTimer clock;
  clock.start();
  ::send(fd, "BODY 1\r\n", 8, MSG_NOSIGNAL);
  const std::int64_t total =
      std::int64_t(blocks) * LinesPerBlock * (LineLen + 2) + std::int64_t(Status.size()) + 2 + 3;
  char tail[5] = {};
  while (r.Bytes < total) {
    ssize_t n = ::recv(fd, buf.get(), ReceiveSize, 0);
    if (n <= 0)
      break;
    r.Bytes += n;
    if (n >= 5)
      std::memcpy(tail, buf.get() + n - 5, 5);
  }
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Busy = ThreadSeconds() - busy;
  r.Ok = r.Bytes == total && std::memcmp(tail + 2, ".\r\n", 3) == 0;
  ::close(fd);
  return r;
}

// ---- against a news server ----

struct TServerWalk {
  std::string Host, Port, Group;
  int Bodies = 260;
};

// The last Bodies articles of the group, BODY by BODY through the client.
TResult ServerThroughClient(const TServerWalk& walk) {
  TNntpCli cli;
  TResult r;
  QEventLoop loop;
  QTimer::singleShot(300000, &loop, &QEventLoop::quit);
  bool ok = false;
  cli.OnSessionConnected = [&](TObject*, std::uint16_t) { loop.quit(); };
  cli.OnMessageLine = [&](TObject*) {
    ++r.Lines;
    r.Bytes += std::int64_t(cli.LastResponse().size());
  };
  cli.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t error) {
    ok = error == 0;
    loop.quit();
  };
  cli.SetHost(walk.Host);
  cli.SetPort(walk.Port);
  cli.Connect();
  loop.exec();
  if (cli.State() != nntpReady)
    return r;
  cli.Group(walk.Group);
  loop.exec();
  const std::int64_t last = cli.ArticleLast();
  if (!ok || last < walk.Bodies)
    return r;
  const double busy = ThreadSeconds();
  QElapsedTimer clock;
  clock.start();
  int done = 0;
  for (std::int64_t n = last - walk.Bodies + 1; n <= last && ok; ++n, ++done) {
    cli.BodyByNumber(n);
    loop.exec();
  }
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Busy = ThreadSeconds() - busy;
  r.Ok = ok && done == walk.Bodies;
  cli.Abort();
  return r;
}

// Reads until what has arrived ends with end; false on a closed connection.
bool ReadUntil(int fd, char* buf, std::string_view end, std::int64_t& bytes, std::string* text = nullptr) {
  std::string tail;
  for (;;) {
    const ssize_t n = ::recv(fd, buf, ReceiveSize, 0);
    if (n <= 0)
      return false;
    bytes += n;
    if (text)
      text->append(buf, std::size_t(n));
    tail.append(buf + std::max<ssize_t>(0, n - ssize_t(end.size())), buf + n);
    if (tail.size() > end.size())
      tail.erase(0, tail.size() - end.size());
    if (tail == end)
      return true;
  }
}

// The same articles with plain recv calls, each reply read to its final
// "." line.
TResult ServerPlain(const TServerWalk& walk) {
  TResult r;
  addrinfo hints{}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  if (::getaddrinfo(walk.Host.c_str(), walk.Port.c_str(), &hints, &found) != 0)
    return r;
  const int fd = ::socket(found->ai_family, SOCK_STREAM, 0);
  const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  ::freeaddrinfo(found);
  const auto buf = std::make_unique_for_overwrite<char[]>(ReceiveSize);
  std::int64_t ignored = 0;
  std::string group;
  const std::string command = "GROUP " + walk.Group + "\r\n";
  if (!connected || !ReadUntil(fd, buf.get(), "\r\n", ignored) ||
      ::send(fd, command.data(), command.size(), MSG_NOSIGNAL) <= 0 ||
      !ReadUntil(fd, buf.get(), "\r\n", ignored, &group)) {
    if (fd >= 0)
      ::close(fd);
    return r;
  }
  long long count = 0, first = 0, last = 0;
  if (std::sscanf(group.c_str(), "211 %lld %lld %lld", &count, &first, &last) != 3 || last < walk.Bodies) {
    ::close(fd);
    return r;
  }
  const double busy = ThreadSeconds();
  QElapsedTimer clock;
  clock.start();
  bool ok = true;
  for (long long n = last - walk.Bodies + 1; n <= last && ok; ++n) {
    const std::string body = "BODY " + std::to_string(n) + "\r\n";
    ok = ::send(fd, body.data(), body.size(), MSG_NOSIGNAL) > 0 &&
         ReadUntil(fd, buf.get(), "\r\n.\r\n", r.Bytes);
  }
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Busy = ThreadSeconds() - busy;
  r.Ok = ok;
  ::close(fd);
  return r;
}

// The faster of two runs; a failed run never counts as the faster.
TResult Faster(const TResult& a, const TResult& b) {
  if (a.Ok != b.Ok)
    return a.Ok ? a : b;
  return a.Seconds <= b.Seconds ? a : b;
}

void Print(const char* what, const TResult& r) {
  std::printf("%-38s %6.1f MB in %6.3f s = %7.1f MB/s, receiving thread busy %5.1f ms%s\n", what,
              double(r.Bytes) / 1e6, r.Seconds, double(r.Bytes) / 1e6 / r.Seconds, r.Busy * 1e3,
              r.Ok ? "" : "  (INCOMPLETE)");
}

// The congestion control a new connection gets from the system.
std::string SystemControl() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  char name[32] = {};
  socklen_t len = sizeof name - 1;
  if (getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, &len) != 0)
    name[0] = '\0';
  ::close(fd);
  return name;
}

// The first of the non-pacing controls the system lets us choose; empty when none.
std::string NonPacingControl() {
  for (const char* name : {"cubic", "reno"}) {
    TScriptedNewsServer probe;
    if (probe.SetCongestionControl(name))
      return name;
  }
  return "";
}

// Both sides in turns, the best of five runs each: one run lasts a few tens
// of milliseconds, so a busy machine decides it, and turns give both sides
// the same chances. False when a run failed.
bool Compare(std::size_t blocks) {
  const int runs = 5;
  TResult client = ThroughClient(blocks);
  TResult plain = PlainDrain(blocks);
  for (int i = 1; i < runs; ++i) {
    client = Faster(client, ThroughClient(blocks));
    plain = Faster(plain, PlainDrain(blocks));
  }
  Print("TNntpCli, line text in OnMessageLine", client);
  char what[64];
  std::snprintf(what, sizeof what, "plain recv of %d bytes, all bytes", ReceiveSize);
  Print(what, plain);
  std::printf("client / plain (same reply): %.2f by time, %.2f by the receiving thread's processor time\n",
              plain.Seconds / client.Seconds, plain.Busy / client.Busy);
  std::printf("client wire rate %.1f MB/s; lines %lld\n",
              double(client.Bytes + client.Lines * 2) / client.Seconds / 1e6,
              static_cast<long long>(client.Lines));
  return client.Ok && plain.Ok;
}

struct TTransfer {
  TResult R;
  std::int64_t Link = 0; // bytes as they came over the link
  std::int64_t Text = 0; // the lines' text, without their ends
};

// The requests one after the other, depth in flight, through one client
// that compresses or not, after the group alt.bench; only the requests are
// timed.
TTransfer Transfer(TScriptedNewsServer& server, bool compress, int depth, int requests,
                   const std::function<void(TNntpCli&, int)>& request) {
  TNntpCli cli;
  TTransfer t;
  TResult& r = t.R;
  QEventLoop loop;
  QTimer::singleShot(300000, &loop, &QEventLoop::quit);
  int sent = 0, done = 0;
  bool ok = true;
  const auto next = [&] {
    while (sent < requests && cli.InFlight() < depth)
      request(cli, sent++);
  };
  cli.OnSessionConnected = [&](TObject*, std::uint16_t) { loop.quit(); };
  cli.OnMessageLine = [&](TObject*) {
    ++r.Lines;
    t.Text += std::int64_t(cli.LastResponse().size());
  };
  cli.OnRequestDone = [&](TObject*, TNntpRequest kind, std::uint16_t error) {
    ok = ok && error == 0;
    if (kind == nntpGroup || ++done == requests || !ok)
      loop.quit();
    else
      next();
  };
  cli.SetHost("127.0.0.1");
  cli.SetPort(server.PortText());
  cli.SetPipelineDepth(depth);
  cli.SetCompress(compress);
  cli.Connect();
  loop.exec();
  if (cli.State() != nntpReady || cli.Compressed() != compress)
    return t;
  cli.Group("alt.bench");
  loop.exec();
  const std::int64_t bytes = cli.BytesReceived(), link = cli.LinkBytesReceived();
  const double busy = ThreadSeconds();
  QElapsedTimer clock;
  clock.start();
  next();
  loop.exec();
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Busy = ThreadSeconds() - busy;
  r.Bytes = cli.BytesReceived() - bytes;
  t.Link = cli.LinkBytesReceived() - link;
  r.Ok = ok && done == requests;
  cli.Abort();
  return t;
}

// ---- pipelined bodies ----

const int PipelinedArticles = 100;
const int PipelinedLines = 2000; // of 128 characters: 260,000 bytes a body

// Every body of the group, with up to depth requests in flight.
TResult PipelinedBodies(TScriptedNewsServer& server, int depth) {
  const TTransfer t = Transfer(server, false, depth, PipelinedArticles,
                               [](TNntpCli& cli, int i) { cli.BodyByNumber(i + 1); });
  TResult r = t.R;
  r.Bytes = t.Text;
  r.Ok = r.Ok && r.Lines == std::int64_t(PipelinedArticles) * PipelinedLines;
  return r;
}

// Articles 1..Count of Lines lines of LineLen letters each.
std::vector<TNewsArticle> BenchGroup(int Count, int Lines) {
  std::vector<TNewsArticle> articles;
  for (int n = 1; n <= Count; ++n) {
    TNewsArticle a{n, {"Subject: bench " + std::to_string(n)}, {}};
    for (int i = 0; i < Lines; ++i)
      a.Body.push_back(std::string(LineLen, char('A' + (n + i) % 26)));
    articles.push_back(std::move(a));
  }
  return articles;
}

bool ComparePipelining() {
  const std::vector<TNewsArticle> articles = BenchGroup(PipelinedArticles, PipelinedLines);
  bool ok = true;
  for (const int latency : {0, 30}) {
    TScriptedNewsServer server;
    server.SetLatency(latency);
    server.ServeGroup("alt.bench", articles);
    std::printf("%d bodies of %d lines, the server answering %d ms after each command:\n", PipelinedArticles,
                PipelinedLines, latency);
    for (const int depth : {1, 4, 8}) {
      TResult r = PipelinedBodies(server, depth);
      for (int i = 1; i < (latency == 0 ? 5 : 2); ++i)
        r = Faster(r, PipelinedBodies(server, depth));
      char what[64];
      std::snprintf(what, sizeof what, depth == 1 ? "one at a time" : "%d in flight", depth);
      Print(what, r);
      ok = ok && r.Ok;
    }
  }
  return ok;
}

// ---- the fetcher ----

const int FetcherArticles = 64;
const int FetcherLines = 6000; // of 128 characters: 780,000 bytes a body, as a yEnc part

// Every article of the group through the fetcher, handed over in order.
TResult Fetched(TScriptedNewsServer& server, int connections, int depth) {
  TArticleFetcher fetcher;
  TResult r;
  QEventLoop loop;
  QTimer::singleShot(300000, &loop, &QEventLoop::quit);
  std::int64_t next = 1;
  fetcher.OnArticleLine = [&](TObject*, std::int64_t, std::string_view line) {
    ++r.Lines;
    r.Bytes += std::int64_t(line.size());
  };
  fetcher.OnArticleEnd = [&](TObject*, std::int64_t n, std::uint16_t error) {
    r.Ok = error == 0 && n == next++;
    if (!r.Ok)
      loop.quit();
  };
  fetcher.OnIdle = [&](TObject*) { loop.quit(); };
  fetcher.OnStopped = [&](TObject*, const std::string&) { loop.quit(); };
  fetcher.SetServer({"127.0.0.1", server.PortText(), false, ""});
  fetcher.SetGroup("alt.bench");
  fetcher.SetConnections(connections);
  fetcher.SetDepth(depth);
  std::vector<TFetchArticle> articles;
  for (int n = 1; n <= FetcherArticles; ++n)
    articles.push_back({n, FetcherLines});
  fetcher.Fetch(1, FetcherArticles, articles);
  const double busy = ThreadSeconds();
  QElapsedTimer clock;
  clock.start();
  fetcher.Start();
  loop.exec();
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Busy = ThreadSeconds() - busy;
  r.Ok = r.Ok && next == FetcherArticles + 1 && r.Lines == std::int64_t(FetcherArticles) * FetcherLines;
  fetcher.Stop();
  return r;
}

bool CompareFetcher() {
  const std::vector<TNewsArticle> articles = BenchGroup(FetcherArticles, FetcherLines);
  bool ok = true;
  for (const int latency : {0, 30}) {
    TScriptedNewsServer server;
    server.SetLatency(latency);
    server.ServeGroup("alt.bench", articles);
    std::printf(
        "TArticleFetcher, %d bodies of %d lines in order, the server answering %d ms after each command:\n",
        FetcherArticles, FetcherLines, latency);
    for (const auto& [connections, depth] : {std::pair{1, 1}, {1, 4}, {4, 4}, {8, 4}}) {
      TResult r = Fetched(server, connections, depth);
      for (int i = 1; i < (latency == 0 ? 5 : 2); ++i)
        r = Faster(r, Fetched(server, connections, depth));
      char what[64];
      std::snprintf(what, sizeof what, "%d connection%s, %d in flight each", connections,
                    connections == 1 ? "" : "s", depth);
      Print(what, r);
      ok = ok && r.Ok;
    }
  }
  return ok;
}

// ---- compressed transfers ----

const int OverviewArticles = 100000;
const int OverviewBlock = 1000;
const int YEncArticles = 24;
const int YEncLines = 6000;

// Overview lines as a binary group has them: subjects that differ in their
// numbers, one poster, message identifiers with random parts.
std::vector<TNewsArticle> OverviewGroup() {
  std::vector<TNewsArticle> articles;
  articles.reserve(OverviewArticles);
  std::uint32_t seed = 12345;
  const auto random = [&] { return (seed = seed * 1103515245u + 12345u) >> 4; };
  char subject[200], from[80], id[96], date[64];
  unsigned name = 0, poster = 0;
  for (int n = 1; n <= OverviewArticles; ++n) {
    const int file = (n - 1) / 137, part = (n - 1) % 137 + 1;
    if (part == 1)
      name = random(), poster = random() % 500;
    std::snprintf(subject, sizeof subject,
                  "Subject: [%04d/1250] - \"%07x.Video.2024.1080p.part%03d.rar\" yEnc (%d/137)",
                  file % 1250 + 1, name, file % 1000, part);
    std::snprintf(from, sizeof from, "From: poster%u <poster%u@example.com>", poster, poster * 7919 % 10007);
    std::snprintf(id, sizeof id, "Message-ID: <part%dof137.%07x%05x@powerpost.local>", part, random(),
                  random() & 0xfffff);
    std::snprintf(date, sizeof date, "Date: Mon, %d May 2024 %02d:%02d:%02d +0000", 1 + n / 40000 % 28,
                  n / 3600 % 24, n / 60 % 60, n % 60);
    articles.push_back(
        {n, {subject, from, date, id, "Xref: news.example.com alt.bench:" + std::to_string(n)}, {}});
  }
  return articles;
}

// Bodies of random characters in lines of 128, as yEnc sends them: they
// barely compress.
std::vector<TNewsArticle> YEncGroup() {
  std::vector<TNewsArticle> articles;
  std::uint32_t seed = 54321;
  for (int n = 1; n <= YEncArticles; ++n) {
    TNewsArticle a{n, {"Subject: yenc " + std::to_string(n)}, {}};
    for (int i = 0; i < YEncLines; ++i) {
      std::string line(LineLen, ' ');
      for (char& c : line)
        c = char(42 + ((seed = seed * 1103515245u + 12345u) >> 16) % 200);
      a.Body.push_back(std::move(line));
    }
    articles.push_back(std::move(a));
  }
  return articles;
}

TTransfer Median(std::vector<TTransfer> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const TTransfer& a, const TTransfer& b) { return a.R.Seconds < b.R.Seconds; });
  TTransfer m = runs[runs.size() / 2];
  for (const TTransfer& t : runs)
    m.R.Ok = m.R.Ok && t.R.Ok;
  return m;
}

// Plain and compressed in turns, five runs each; prints both and their ratios.
bool CompareCompression(const char* what, const std::vector<TNewsArticle>& articles, int requests,
                        const std::function<void(TNntpCli&, int)>& request) {
  TScriptedNewsServer server;
  server.OfferOverview(
      {"Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:", "Xref:full"});
  server.OfferCompression();
  server.ServeGroup("alt.bench", articles);
  std::vector<TTransfer> runs[2];
  for (int i = 0; i < 5; ++i)
    for (const bool compress : {false, true})
      runs[compress].push_back(Transfer(server, compress, 4, requests, request));
  const TTransfer plain = Median(runs[0]), compressed = Median(runs[1]);
  std::printf("%s, median of 5:\n", what);
  for (const TTransfer* t : {&plain, &compressed})
    std::printf("  %-11s %7.2f MB on the link, %7.2f MB of text, %6.3f s, receiving thread busy %6.1f ms%s\n",
                t == &plain ? "plain" : "compressed", double(t->Link) / 1e6, double(t->R.Bytes) / 1e6,
                t->R.Seconds, t->R.Busy * 1e3, t->R.Ok ? "" : "  (INCOMPLETE)");
  std::printf("  compressed / plain: %.3f of the link's bytes, %.2f of the time; at 10 MB/s the link alone "
              "takes %.2f s plain, %.2f s compressed\n",
              double(compressed.Link) / double(plain.Link), compressed.R.Seconds / plain.R.Seconds,
              double(plain.Link) / 1e7, double(compressed.Link) / 1e7);
  return plain.R.Ok && compressed.R.Ok && plain.R.Bytes == compressed.R.Bytes;
}

bool CompareCompression() {
  const bool overview =
      CompareCompression("overview of 100,000 articles, XOVER blocks of 1,000, 4 in flight", OverviewGroup(),
                         OverviewArticles / OverviewBlock, [](TNntpCli& cli, int i) {
                           const int first = i * OverviewBlock + 1;
                           cli.XOver(std::to_string(first) + "-" + std::to_string(first + OverviewBlock - 1));
                         });
  const bool bodies = CompareCompression("24 yEnc-like bodies of 6,000 lines, 4 in flight", YEncGroup(),
                                         YEncArticles, [](TNntpCli& cli, int i) { cli.BodyByNumber(i + 1); });
  return overview && bodies;
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::size_t big = std::size_t(100) * 1024 * 1024 / (LineLen * LinesPerBlock); // 100 MiB of line text

  const std::string only = argc > 1 ? argv[1] : "";
  if (only == "pipelined")
    return ComparePipelining() ? 0 : 1;
  if (only == "fetcher")
    return CompareFetcher() ? 0 : 1;
  if (only == "compressed")
    return CompareCompression() ? 0 : 1;
  if (only == "client" || only == "plain") {
    if (argc > 2)
      SenderControl = argv[2];
    bool ok = true;
    for (int i = 0; i < 10; ++i) {
      const TResult r = only == "client" ? ThroughClient(big) : PlainDrain(big);
      Print(only == "client" ? "TNntpCli" : "plain recv", r);
      ok = ok && r.Ok;
    }
    return ok ? 0 : 1;
  }

  const TResult small = ThroughClient(big / 10);
  const long peakSmall = PeakKB();
  std::printf("sender on the system's congestion control (%s):\n", SystemControl().c_str());
  bool ok = Compare(big);
  const long peakBig = PeakKB();
  SenderControl = NonPacingControl();
  if (SenderControl.empty()) {
    std::printf("no congestion control without pacing may be chosen here\n");
  } else if (SenderControl != SystemControl()) {
    std::printf("sender on %s, which does not pace:\n", SenderControl.c_str());
    ok = Compare(big) && ok;
  }
  std::printf("peak RSS: %ld KB after a %.0f MB body, %ld KB after 100 MB bodies\n", peakSmall,
              double(small.Bytes) / 1e6, peakBig);
  ok = ComparePipelining() && ok;
  ok = CompareFetcher() && ok;
  ok = CompareCompression() && ok;

  if (!qEnvironmentVariableIsEmpty("INN_GROUP")) {
    TServerWalk walk;
    const std::string server = qEnvironmentVariableIsEmpty("INN_SERVER")
                                   ? "127.0.0.1:119"
                                   : qEnvironmentVariable("INN_SERVER").toStdString();
    const std::size_t colon = server.rfind(':');
    walk.Host = server.substr(0, colon);
    walk.Port = colon == server.npos ? "119" : server.substr(colon + 1);
    walk.Group = qEnvironmentVariable("INN_GROUP").toStdString();
    if (!qEnvironmentVariableIsEmpty("INN_BODIES"))
      walk.Bodies = qEnvironmentVariable("INN_BODIES").toInt();
    TResult client = ServerThroughClient(walk), plain = ServerPlain(walk);
    for (int i = 1; i < 5; ++i) {
      client = Faster(client, ServerThroughClient(walk));
      plain = Faster(plain, ServerPlain(walk));
    }
    std::printf("news server %s, group %s, the last %d bodies one after the other:\n", server.c_str(),
                walk.Group.c_str(), walk.Bodies);
    Print("TNntpCli, line text in OnMessageLine", client);
    Print("plain recv, every byte to the final line", plain);
    std::printf(
        "client / plain (same replies): %.2f by time, %.2f by the receiving thread's processor time\n",
        plain.Seconds / client.Seconds, plain.Busy / client.Busy);
    ok = ok && client.Ok && plain.Ok;
  }
  return ok && small.Ok ? 0 : 1;
}

#include "walk/FillFetcher.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "walk/WalkNumbers.h"

#include <QTimer>

#include <algorithm>
#include <exception>
#include <limits>

namespace {

constexpr int MaxDepth = 100;

} // namespace

struct TFillFetcher::TConnection {
  TNntpCli Nntp;
  enum TPhase : std::uint8_t { Down, Connecting, LogIn, Ready } Phase = Down;
  std::deque<std::int64_t> Sent;    // the requests whose end has not come, in the order asked
  std::int64_t Current = NoArticle; // whose reply is being read
  bool Begun = false;               // and a line of it has been given
  bool Stood = false;               // has greeted since the pool opened
  bool NeedsLogIn = false;          // answered 480: log in once nothing is in flight
  bool LoggedIn = false;
  int Tries = 0;
  QTimer Reconnect;
};

struct TFillFetcher::TPool {
  std::size_t Index = 0; // in FServers
  std::vector<std::unique_ptr<TConnection>> Connections;
  bool Opened = false;
  bool LeftOut = false;
  bool CompressionTold = false; // said that it compresses, or stays plain being near
};

TFillFetcher::TFillFetcher() = default;

TFillFetcher::~TFillFetcher() {
  // Nothing of ours may run while the connections close.
  for (const auto& p : FPools)
    for (const auto& c : p->Connections) {
      c->Nntp.OnSessionConnected = nullptr;
      c->Nntp.OnSessionClosed = nullptr;
      c->Nntp.OnRequestDone = nullptr;
      c->Nntp.OnMessageBegin = nullptr;
      c->Nntp.OnMessageLine = nullptr;
    }
}

void TFillFetcher::SetServers(std::vector<TFillSource> Servers) {
  Stop();
  FServers = std::move(Servers);
  FPools.clear();
  for (std::size_t i = 0; i < FServers.size(); ++i) {
    auto& p = *FPools.emplace_back(std::make_unique<TPool>());
    p.Index = i;
  }
}

std::vector<std::string> TFillFetcher::Hosts() const {
  std::vector<std::string> hosts;
  for (const TFillSource& s : FServers)
    hosts.push_back(s.Server.Host);
  return hosts;
}

std::int64_t TFillFetcher::LinkBytesReceived() const {
  std::int64_t bytes = 0;
  for (const auto& p : FPools)
    for (const auto& c : p->Connections)
      bytes += c->Nntp.LinkBytesReceived();
  return bytes;
}

TFillFetcher::TRequest* TFillFetcher::Find(std::int64_t Number) {
  const auto it = std::find_if(FRequests.begin(), FRequests.end(),
                               [Number](const TRequest& r) { return r.Number == Number; });
  return it != FRequests.end() ? &*it : nullptr;
}

void TFillFetcher::Ask(std::int64_t Number, std::string MessageId) {
  if (Find(Number) || MessageId.size() < 3 || MessageId.front() != '<' || MessageId.back() != '>')
    return;
  FRequests.push_back({Number, std::move(MessageId)});
  Dispatch();
}

void TFillFetcher::Stop(bool Quit) {
  ++FGeneration;
  FRequests.clear();
  for (const auto& p : FPools) {
    p->Opened = p->LeftOut = false;
    for (const auto& c : p->Connections) {
      c->Reconnect.stop();
      c->Sent.clear();
      c->Current = NoArticle;
      const bool ready = c->Phase == TConnection::Ready && c->Nntp.State() == nntpReady;
      c->Phase = TConnection::Down;
      if (Quit && ready)
        c->Nntp.Quit();
      else if (c->Nntp.State() != nntpNotConnected)
        c->Nntp.Abort();
    }
  }
}

// Each request waiting goes to the first server from its own on that is not
// left out, whose pool opens now if it has not; past the last server the
// article is on none. What a pool that opens, or an owner's handler, does
// meanwhile makes it go round again.
void TFillFetcher::Dispatch() {
  if (FDispatching) {
    FDispatchAgain = true;
    return;
  }
  FDispatching = true;
  struct TDone {
    bool& Flag;
    ~TDone() { Flag = false; }
  } done{FDispatching};
  do {
    FDispatchAgain = false;
    std::vector<std::int64_t> none;
    std::vector<bool> needed(FPools.size());
    for (auto r = FRequests.begin(); r != FRequests.end();) {
      while (!r->Sent && r->Server < FPools.size() && FPools[r->Server]->LeftOut)
        ++r->Server;
      if (r->Server >= FPools.size()) {
        none.push_back(r->Number);
        r = FRequests.erase(r);
        continue;
      }
      needed[r->Server] = needed[r->Server] || !r->Sent;
      ++r;
    }
    for (std::size_t i = 0; i < FPools.size(); ++i)
      if (needed[i] && !FPools[i]->Opened && !FPools[i]->LeftOut)
        Open(*FPools[i]);
    for (const auto& p : FPools)
      if (p->Opened && !p->LeftOut)
        Pump(*p);
    const std::uintptr_t generation = FGeneration;
    for (const std::int64_t number : none)
      if (generation == FGeneration)
        Raise([this, number] {
          if (OnEnd)
            OnEnd(this, number, std::string());
        });
  } while (FDispatchAgain);
}

void TFillFetcher::Open(TPool& p) {
  p.Opened = true;
  const TFillSource& s = FServers[p.Index];
  const std::size_t count = std::size_t(std::clamp(s.Connections, 1, 50));
  while (p.Connections.size() < count) {
    auto& c = *p.Connections.emplace_back(std::make_unique<TConnection>());
    c.Nntp.OnSessionConnected = [this, &p, &c](TObject*, std::uint16_t e) { SessionConnected(p, c, e); };
    c.Nntp.OnSessionClosed = [this, &p, &c](TObject*, std::uint16_t) { SessionClosed(p, c); };
    c.Nntp.OnRequestDone = [this, &p, &c](TObject*, TNntpRequest rq, std::uint16_t e) {
      RequestDone(p, c, rq, e);
    };
    c.Nntp.OnMessageBegin = [this, &c](TObject*) { MessageBegin(c); };
    c.Nntp.OnMessageLine = [this, &c](TObject*) { MessageLine(c); };
    c.Reconnect.setSingleShot(true);
    QObject::connect(&c.Reconnect, &QTimer::timeout, &c.Reconnect, [this, &p, &c] {
      Guarded([this, &p, &c] {
        Connect(p, c);
        RethrowPending();
      });
    });
  }
  for (std::size_t i = 0; i < p.Connections.size() && p.Opened && !p.LeftOut; ++i) {
    TConnection& c = *p.Connections[i];
    c.Tries = 0;
    c.Stood = false;
    if (i < count)
      Connect(p, c);
  }
}

// A connect that cannot even start leaves the server out, like a refusal.
void TFillFetcher::Connect(TPool& p, TConnection& c) {
  const TFillSource& s = FServers[p.Index];
  TNntpCli& n = c.Nntp;
  if (n.State() != nntpNotConnected)
    n.Abort();
  n.SetHost(s.Server.Host);
  n.SetPort(s.Server.Port);
  n.SetTls(s.Server.Tls);
  n.SetUserName(s.Server.User);
  n.SetPassWord(s.PassWord);
  n.SetTimeout(FTimeout);
  n.SetCompress(s.Compress);
  if (!FTlsCAFile.empty())
    n.WSocket().SetTlsCAFile(FTlsCAFile);
  n.SetPipelineDepth(1);
  c.Phase = TConnection::Connecting;
  c.Sent.clear();
  c.Current = NoArticle;
  c.NeedsLogIn = c.LoggedIn = false;
  try {
    n.Connect();
  } catch (const std::exception& e) {
    c.Phase = TConnection::Down;
    LeaveOut(p, e.what());
  }
}

// Sends what waits for this server on its connections with room, the one
// with the fewest in flight first.
void TFillFetcher::Pump(TPool& p) {
  const int depth = std::clamp(FServers[p.Index].Depth, 1, MaxDepth);
  // A send may find the connection gone, and its close runs at once.
  for (std::size_t i = 0; i < FRequests.size() && !p.LeftOut; ++i) {
    TRequest* r = &FRequests[i];
    if (r->Sent || r->Server != p.Index)
      continue;
    TConnection* best = nullptr;
    for (const auto& c : p.Connections)
      if (c->Phase == TConnection::Ready && !c->NeedsLogIn && c->Nntp.InFlight() < depth &&
          (!best || c->Nntp.InFlight() < best->Nntp.InFlight()))
        best = c.get();
    if (!best)
      return;
    r->Sent = true;
    best->Sent.push_back(r->Number);
    // The client puts the angle brackets round it.
    const std::string_view id = std::string_view(r->MessageId).substr(1, r->MessageId.size() - 2);
    if (FRequest == nntpBodyByID)
      best->Nntp.BodyByID(id);
    else
      best->Nntp.ArticleByID(id);
  }
}

// The server is asked for nothing more until Stop(): what was sent to it
// goes to the next server, and an article whose lines had begun to come
// tells its owner they are void.
void TFillFetcher::LeaveOut(TPool& p, const std::string& Why) {
  if (std::exchange(p.LeftOut, true))
    return;
  const std::uintptr_t generation = FGeneration;
  std::vector<std::int64_t> cut;
  for (const auto& c : p.Connections) {
    c->Reconnect.stop();
    if (c->Begun && c->Current != NoArticle)
      cut.push_back(c->Current);
    c->Sent.clear();
    c->Current = NoArticle;
    c->Begun = false;
    c->Phase = TConnection::Down;
    if (c->Nntp.State() != nntpNotConnected)
      c->Nntp.Abort();
  }
  for (TRequest& r : FRequests)
    if (r.Server == p.Index)
      r.Sent = false;
  Log("Fill server " + FServers[p.Index].Server.Host + " left out: " + Why);
  for (const std::int64_t number : cut)
    if (generation == FGeneration)
      Raise([this, number] {
        if (OnCut)
          OnCut(this, number, 10053);
      });
  if (generation == FGeneration)
    Dispatch();
}

// The requests in flight end first; then the connection goes again with the
// back-off. A server none of whose connections has greeted since it opened
// refused the connection, and one that has lost all of them for good is
// left out.
void TFillFetcher::Lost(TPool& p, TConnection& c) {
  c.Phase = TConnection::Down;
  if (p.LeftOut)
    return;
  const bool anyStood =
      std::any_of(p.Connections.begin(), p.Connections.end(), [](const auto& x) { return x->Stood; });
  if (!anyStood) {
    LeaveOut(p, "connection refused");
    return;
  }
  if (++c.Tries > MaxReconnectTries) {
    const bool anyLeft = std::any_of(p.Connections.begin(), p.Connections.end(), [](const auto& x) {
      return x->Phase != TConnection::Down || x->Reconnect.isActive();
    });
    if (!anyLeft)
      LeaveOut(p, "connection lost");
    return;
  }
  c.Reconnect.start(FReconnectDelay * std::min(1 << (c.Tries - 1), MaxReconnectSeconds));
}

void TFillFetcher::SessionConnected(TPool& p, TConnection& c, std::uint16_t Error) {
  if (p.LeftOut || c.Phase != TConnection::Connecting || Error != 0)
    return; // a failed connect ends with its request
  if (c.Nntp.StatusCode() >= 400) {
    const std::string why = c.Nntp.LastResponse();
    c.Nntp.Abort();
    c.Phase = TConnection::Down;
    if (std::any_of(p.Connections.begin(), p.Connections.end(), [](const auto& x) { return x->Stood; }))
      Lost(p, c); // a slot the server has not free now
    else
      LeaveOut(p, "connection refused (" + why + ")");
    RethrowPending();
    return;
  }
  c.Stood = true;
  c.Phase = TConnection::Ready;
  c.Nntp.SetPipelineDepth(std::clamp(FServers[p.Index].Depth, 1, MaxDepth));
  Stands(p, c);
  Dispatch();
  RethrowPending();
}

void TFillFetcher::SessionClosed(TPool& p, TConnection& c) {
  if (p.LeftOut || c.Phase == TConnection::Down || c.Phase == TConnection::Connecting)
    return;
  c.Phase = TConnection::Down;
  if (c.Sent.empty())
    Lost(p, c);
  RethrowPending();
}

void TFillFetcher::RequestDone(TPool& p, TConnection& c, TNntpRequest RqType, std::uint16_t Error) {
  if (p.LeftOut || !p.Opened || (RqType == nntpAbort && Error == 0))
    return;
  if (c.Phase == TConnection::Connecting) {
    if (c.Nntp.State() == nntpNotConnected)
      Lost(p, c); // the connect failed
  } else if (RqType == FRequest && !c.Sent.empty()) {
    ArticleDone(p, c, Error);
  } else if (c.Phase == TConnection::LogIn && RqType == nntpAuthenticate) {
    LogInDone(p, c, Error);
  }
  RethrowPending();
}

// Come whole: handed over. Refused: the next server. Cut short or refused
// for want of a log-in: this server again.
void TFillFetcher::ArticleDone(TPool& p, TConnection& c, std::uint16_t Error) {
  const std::uintptr_t generation = FGeneration;
  const std::int64_t number = c.Sent.front();
  c.Sent.pop_front();
  const bool begun = c.Current == number && c.Begun;
  if (c.Current == number) {
    c.Current = NoArticle;
    c.Begun = false;
  }
  if (Error == 0)
    c.Tries = 0;
  const auto it = std::find_if(FRequests.begin(), FRequests.end(),
                               [number](const TRequest& x) { return x.Number == number; });
  if (it != FRequests.end()) {
    TRequest* r = &*it;
    if (Error == 0) {
      FRequests.erase(it);
      Raise([this, number, &p] {
        if (OnEnd)
          OnEnd(this, number, FServers[p.Index].Server.Host);
      });
    } else {
      r->Sent = false;
      if (Error == LogInRequired)
        c.NeedsLogIn = true;
      else if (Error < FirstSocketError)
        ++r->Server;
      if (begun)
        Raise([this, number, Error] {
          if (OnCut)
            OnCut(this, number, Error);
        });
    }
  }
  if (generation != FGeneration || p.LeftOut)
    return;
  if (c.Sent.empty()) {
    if (c.Phase == TConnection::Down)
      Lost(p, c);
    else if (c.NeedsLogIn)
      LogIn(p, c);
  }
  if (generation == FGeneration)
    Dispatch();
}

void TFillFetcher::LogIn(TPool& p, TConnection& c) {
  const TFillSource& s = FServers[p.Index];
  if (s.Server.User.empty() || s.PassWord.empty()) {
    LeaveOut(p, "log-in needed");
    return;
  }
  if (c.LoggedIn) {
    LeaveOut(p, "log-in refused");
    return;
  }
  c.Phase = TConnection::LogIn;
  c.Nntp.Authenticate();
}

void TFillFetcher::LogInDone(TPool& p, TConnection& c, std::uint16_t Error) {
  if (Error >= FirstSocketError) {
    Lost(p, c);
    return;
  }
  if (Error != 0) {
    LeaveOut(p, "log-in refused");
    return;
  }
  c.LoggedIn = true;
  c.NeedsLogIn = false;
  c.Phase = TConnection::Ready;
  Stands(p, c);
  Dispatch();
}

void TFillFetcher::MessageBegin(TConnection& c) {
  const std::size_t ended = c.Sent.size() - std::size_t(c.Nntp.InFlight());
  c.Current = ended < c.Sent.size() ? c.Sent[ended] : NoArticle;
  c.Begun = false;
}

void TFillFetcher::MessageLine(TConnection& c) {
  if (c.Current == NoArticle || c.Phase != TConnection::Ready || !Find(c.Current))
    return;
  c.Begun = true;
  if (OnLine)
    OnLine(this, c.Current, c.Nntp.LastResponse());
}

// A connection compresses once it has logged in, if it ever does.
void TFillFetcher::Stands(TPool& p, TConnection& c) {
  const std::string& host = FServers[p.Index].Server.Host;
  if (c.Nntp.Compressed() && !std::exchange(p.CompressionTold, true))
    Log("Compressed transfers with " + host);
  else if (c.Nntp.KeptPlainNear() && !std::exchange(p.CompressionTold, true))
    Log(NearText(host));
}

void TFillFetcher::Log(const std::string& Text) {
  Raise([this, &Text] {
    if (OnLog)
      OnLog(this, Text);
  });
}

// The owner's handler runs; what it throws waits until the fill's own work
// is done.
void TFillFetcher::Raise(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (...) {
    if (!FPendingError)
      FPendingError = std::current_exception();
  }
}

void TFillFetcher::RethrowPending() {
  if (FPendingError)
    std::rethrow_exception(std::exchange(FPendingError, nullptr));
}

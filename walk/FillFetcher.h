#pragma once

#include "nntp/NntpCli.h"
#include "walk/ServerAddress.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What the log says of a server whose connections stay plain for being
// near (TNntpCli::NearRoundTrip), whichever connection found it.
inline std::string NearText(const std::string& Host) {
  return "Uncompressed transfers with " + Host + ": the server is near";
}

// A server asked for the articles the walk's own server lacks.
struct TFillSource {
  TServerAddress Server;
  std::string PassWord;
  int Connections = 1;
  int Depth = 1;
  bool Compress = true;
};

using TFillLine = std::function<void(TObject* Sender, std::int64_t Number, std::string_view Line)>;
// From is the host that had the article; empty when none had it.
using TFillEnd = std::function<void(TObject* Sender, std::int64_t Number, const std::string& From)>;
using TFillCut = std::function<void(TObject* Sender, std::int64_t Number, std::uint16_t Error)>;
using TFillText = std::function<void(TObject* Sender, const std::string& Text)>;

// Asks the fill servers, in their order, for articles by Message-ID, each
// server over a pool of its own that opens when it is first needed: its
// connections, requests in flight, TLS and log-in as its entry says. A
// server that refuses the connection or the log-in, or is lost for good,
// is logged once and left out until Stop(). It reports through its events,
// raised on the event loop's thread; it must not be destroyed from inside
// them.
class TFillFetcher : public TObject {
public:
  TFillFetcher();
  ~TFillFetcher() override;

  TFillFetcher(const TFillFetcher&) = delete;
  TFillFetcher& operator=(const TFillFetcher&) = delete;

  // Taken up by the next request; a pool open goes on with what it had.
  void SetServers(std::vector<TFillSource> Servers);
  bool Any() const { return !FServers.empty(); }
  // The hosts in the order they are asked.
  std::vector<std::string> Hosts() const;
  // nntpArticleByID (the default) or nntpBodyByID.
  void SetRequest(TNntpRequest value) { FRequest = value; }
  void SetTimeout(int Seconds) { FTimeout = Seconds; }
  void SetReconnectDelay(std::chrono::milliseconds value) { FReconnectDelay = value; }
  void SetTlsCAFile(std::string value) { FTlsCAFile = std::move(value); }

  // Asks for the article of the walk's number Number by its Message-ID
  // ("<...>"), from the first server on.
  void Ask(std::int64_t Number, std::string MessageId);
  // Closes every pool and drops every request; the servers left out are
  // asked again after it. With Quit, a connection that waits for nothing
  // says goodbye.
  void Stop(bool Quit = false);
  // Requests asked for and not ended.
  std::size_t Asked() const { return FRequests.size(); }
  std::int64_t LinkBytesReceived() const;

  // A line of the article, without CR LF, the leading period of ".."
  // undone; valid during the call only.
  TFillLine OnLine;
  // The lines given since the article's first are void (its connection was
  // lost): it is asked for again.
  TFillCut OnCut;
  // The article has come whole from From, or no server has it.
  TFillEnd OnEnd;
  // A server left out and why, a lost connection, a compressed one.
  TFillText OnLog;

private:
  struct TRequest {
    std::int64_t Number;
    std::string MessageId;
    std::size_t Server = 0; // the server asked now
    bool Sent = false;
  };
  struct TConnection;
  struct TPool;

  TRequest* Find(std::int64_t Number);
  void Dispatch();
  void Open(TPool& p);
  void Connect(TPool& p, TConnection& c);
  void Pump(TPool& p);
  void LeaveOut(TPool& p, const std::string& Why);
  void Lost(TPool& p, TConnection& c);
  void LogIn(TPool& p, TConnection& c);
  void SessionConnected(TPool& p, TConnection& c, std::uint16_t Error);
  void SessionClosed(TPool& p, TConnection& c);
  void RequestDone(TPool& p, TConnection& c, TNntpRequest RqType, std::uint16_t Error);
  void ArticleDone(TPool& p, TConnection& c, std::uint16_t Error);
  void LogInDone(TPool& p, TConnection& c, std::uint16_t Error);
  void MessageBegin(TConnection& c);
  void MessageLine(TConnection& c);
  void Stands(TPool& p, TConnection& c);
  void Log(const std::string& Text);
  void Raise(const std::function<void()>& Handler);
  void RethrowPending();

  std::vector<std::unique_ptr<TPool>> FPools;
  std::vector<TFillSource> FServers;
  std::deque<TRequest> FRequests; // asked for and not ended, in the order asked
  TNntpRequest FRequest = nntpArticleByID;
  int FTimeout = 120;
  std::chrono::milliseconds FReconnectDelay{1000};
  std::string FTlsCAFile;
  bool FDispatching = false;
  bool FDispatchAgain = false;
  std::uintptr_t FGeneration = 0;   // counts the stops
  std::exception_ptr FPendingError; // thrown by an owner's handler, raised once the work is done
};

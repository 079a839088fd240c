#pragma once

#include "decode/YEncAhead.h"
#include "nntp/NntpCli.h"
#include "walk/BlockPool.h"
#include "walk/FillFetcher.h"
#include "walk/ServerAddress.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class THiddenWindow;

// An article to fetch: its number and the Lines: count the overview gave,
// and its Message-ID when the fill servers may be asked for it.
struct TFetchArticle {
  std::int64_t Number;
  std::int64_t Lines;
  std::string MessageId = {};
};

using TArticleBegin = std::function<void(TObject* Sender, std::int64_t Number, std::int64_t Lines)>;
using TArticleLine = std::function<void(TObject* Sender, std::int64_t Number, std::string_view Line)>;
using TArticleAhead = std::function<void(TObject* Sender, std::int64_t Number)>;
using TArticleLines = std::function<std::size_t(TObject* Sender, std::int64_t Number, std::string_view Run)>;
using TArticleEnd = std::function<void(TObject* Sender, std::int64_t Number, std::uint16_t Error)>;
using TFetcherText = std::function<void(TObject* Sender, const std::string& Text)>;
using TScanLine = std::function<void(TObject* Sender, std::int64_t First, std::string_view Line)>;
using TScanEnd = std::function<void(TObject* Sender, std::int64_t First, std::uint16_t Error)>;
using TSeekEnd =
    std::function<void(TObject* Sender, std::int64_t After, std::int64_t Number, std::uint16_t Error)>;

// Fetches the articles it is given over several connections to one server,
// each with several requests in flight, and hands them to its owner one
// after the other in article-number order, each line as it arrives when the
// article is the next in order, else from a buffer once the articles before
// it are through. The buffer holds at most BufferLimit() bytes and
// Connections() x Depth() x 2 articles ahead of the next in order; when it
// is full no request goes out. It reports through its events only, raised
// on the event loop's thread; it must not be destroyed from inside them.
class TArticleFetcher : public TObject {
public:
  TArticleFetcher();
  ~TArticleFetcher() override;

  TArticleFetcher(const TArticleFetcher&) = delete;
  TArticleFetcher& operator=(const TArticleFetcher&) = delete;

  // Taken up at the next Start().
  const TServerAddress& Server() const { return FServer; }
  void SetServer(TServerAddress value) { FServer = std::move(value); }
  void SetPassWord(std::string value) { FPassWord = std::move(value); }
  const std::string& Group() const { return FGroup; }
  void SetGroup(std::string value) { FGroup = std::move(value); }
  // Connections to open, 1 to 50.
  int Connections() const { return FConnections; }
  void SetConnections(int value);
  // Connections that have stood (group selected) and are not given up.
  int Standing() const;
  // Requests in flight per connection, 1 to 100; a server that mishandles
  // pipelining gets one at a time for the rest of the fetcher's life.
  int Depth() const { return FDepth; }
  void SetDepth(int value);
  // Milliseconds between the end of a request (the GROUP and the log-in
  // included) and the next one on the same connection; above 0 a connection
  // has one request in flight.
  int Pacing() const { return FPacing; }
  void SetPacing(int value) { FPacing = std::max(0, value); }
  // nntpBodyByNumber (the default) or nntpArticleByNumber, whose lines are
  // the header, a blank line and the body.
  TNntpRequest Request() const { return FRequest; }
  void SetRequest(TNntpRequest value);
  int Timeout() const { return FTimeout; } // of each connection's client
  void SetTimeout(int Seconds) {
    FTimeout = Seconds;
    FFill.SetTimeout(Seconds);
  }
  // What "1 s" of the reconnect back-off is; tests shorten it.
  void SetReconnectDelay(std::chrono::milliseconds value) {
    FReconnectDelay = value;
    FFill.SetReconnectDelay(value);
  }
  // Authorities trusted for TLS besides the system's.
  void SetTlsCAFile(std::string value) {
    FFill.SetTlsCAFile(value);
    FTlsCAFile = std::move(value);
  }
  // The servers asked, in their order, for an article this one refuses
  // (430, 423) and whose Message-ID was given: the article keeps its turn
  // until they have answered, and comes in it as if from this server. Their
  // pools close when the fetcher stops.
  TFillFetcher& Fill() { return FFill; }
  // Bytes allocated for articles not yet in order, below 4 GiB; 32 MiB
  // unless set, which keeps a decode window of 8 connections below 100 MB.
  std::size_t BufferLimit() const { return FBlocks.Limit(); }
  void SetBufferLimit(std::size_t Bytes) {
    FBlocks.SetLimit(Bytes);
    if (FAhead)
      FAhead->SetLimit(BufferLimit());
  }
  bool PipelineBroken() const { return FPipelineBroken; }
  // The first connection sends COMPRESS DEFLATE after its log-in where the
  // server offers it (off unless set), and the overview goes over it while
  // it stands; the others stay plain for the bodies. The first connection that goes
  // compressed logs "Compressed transfers with <host>" unless that has
  // been said already; the owner resets it for a new walk.
  // A compressed connection whose bodies save less than a tenth over a
  // stretch of Bytes as read (1 MB unless set), or over any sixteenth of it
  // or more before a first stretch shrank, closes between two requests and
  // comes again plain for the rest of the walk, logging once "Uncompressed
  // transfers with <host>: the articles do not shrink": what a pool of one
  // brings of yEnc bodies does not pay for the compressing. Until a stretch
  // shrank it asks for one body at a time: a server compresses yEnc at some
  // 40 MB/s, so each MB that comes compressed holds a walk of one
  // connection up 25 ms. A server near enough that its connections stay
  // plain (TNntpCli::NearRoundTrip) logs once "Uncompressed transfers with
  // <host>: the server is near" instead; either is told once a walk, and
  // the owner resets that too.
  void SetCompress(bool value) { FCompress = value; }
  void SetCompressionStretch(std::int64_t Bytes) { FCompressionStretch = Bytes; }
  bool CompressionTold() const { return FCompressionTold; }
  void SetCompressionTold(bool value) { FCompressionTold = value; }
  bool PlainTold() const { return FPlainTold; }
  void SetPlainTold(bool value) { FPlainTold = value; }
  // Bytes received over the link by every connection so far, compressed
  // where the connection is.
  std::int64_t LinkBytesReceived() const;
  // Decodes the yEnc parts of articles ahead of their turn as their lines
  // come (none unless set): the lines it takes are not held, and their turn
  // raises OnArticleAhead where they stood. It must outlive the fetcher's
  // work; its pool keeps at most BufferLimit().
  void SetAhead(TYEncAhead* value) {
    FAhead = value;
    if (FAhead)
      FAhead->SetLimit(BufferLimit());
  }
  // Bytes of buffer blocks kept for reuse: with those of the articles held,
  // never above BufferLimit(). A stop gives them back to the heap.
  std::size_t Pooled() const { return FBlocks.Pooled(); }
  // Blocks taken from the heap since the fetcher was made, not from the pool.
  std::size_t BlocksAllocated() const { return FBlocks.Allocated(); }

  // Connects (again, after a stop) and goes on from Position(). A connect
  // that cannot even start raises, as TNntpCli::Connect does.
  void Start();
  // Hands over the articles of First..Last to fetch, in ascending order;
  // the others of that range count as handled. Ranges follow each other:
  // what lies below the end of an earlier range is passed over.
  void Fetch(std::int64_t First, std::int64_t Last, const std::vector<TFetchArticle>& Articles);
  // Asks for the overview of First..Last (XOVER), ahead of the articles
  // waiting, on the first connection with room; several may be out at
  // once, on different connections. Its lines come through OnScanLine as
  // they arrive, its end through OnScanEnd, both with First. A stop drops
  // the overviews not ended: the owner asks again after the next Start().
  void Scan(std::int64_t First, std::int64_t Last);
  // Overviews asked for that have not ended.
  std::size_t Scans() const { return FScans.size(); }
  // Asks which article follows After: STAT After, then NEXT, on one
  // connection, with nothing behind them until the answer has been read;
  // ahead of the articles waiting, one at a time. Its end comes through
  // OnSeekEnd. A stop drops it: the owner asks again after the next Start().
  void Seek(std::int64_t After);
  // Passes over the articles below To, whether waiting, in flight or held,
  // all but the one being handed over now, which goes on to its end; a
  // range given later starts at To at the earliest.
  void Pass(std::int64_t To);
  // The same for the articles from From on: those below From stay, and a
  // range given later holds none of From..To - 1.
  void Pass(std::int64_t From, std::int64_t To);
  // Drops every connection now. Nothing more is raised; an article whose
  // lines were being handed over stays unfinished, and every article not
  // handed over whole is fetched again by the next Start().
  void Stop();
  // Sends nothing more and lets the article being handed over end; then
  // drops the requests behind it as Stop() does, closes the connections and
  // raises OnStopped(""). Position() is then the first article not handed
  // over.
  void StopAfter();
  // Stops and forgets every article and overview given: the next range may
  // start anywhere.
  void Forget();
  // The first article not yet handed over whole (or passed over): never
  // past one in flight or waiting in the buffer. After every article given,
  // the one after the last range; 0 before any.
  std::int64_t Position() const;
  // Articles given and not yet handed over.
  std::size_t Pending() const { return FArticles.size(); }
  bool Running() const { return FRunning; }

  // An article's lines begin; Lines is what the overview gave.
  TArticleBegin OnArticleBegin;
  // One line of it, without CR LF, the leading period of ".." undone; valid
  // during the call only.
  TArticleLine OnArticleLine;
  // Lines of it in a row, as they came: Run holds whole lines with their CR
  // LF ends, perhaps an unfinished one last. The handler takes lines from
  // its start, as OnArticleLine would have taken them one by one, and gives
  // the bytes they fill, or 0 for the next line to come to OnArticleLine.
  // It takes none that begins with "." or is longer than
  // TNntpCli::MaxLineLen, and stops or halts nothing.
  TArticleLines OnArticleLines;
  // In the article's turn, in place of the lines the Ahead() decoder took
  // of it when they came: TYEncAhead::Find(Number) holds what they gave,
  // until the article's end. Lines that come after it follow.
  TArticleAhead OnArticleAhead;
  // The article has ended: 0 when it came whole; the server's code when it
  // refused it (no lines came); 10053 when it holds a line too long to hold
  // (passed over, not asked for again); NntpPipelineError when the server
  // answered it with another article twice, one request at a time (passed
  // over). Any other socket error means it was cut short: the lines handed
  // over since its begin are void, and it comes again from its first line
  // when the fetcher goes on. A refusal is handed over only once its
  // connection has shown that it answered this article: a later reply on
  // the connection that names the article it was asked for, or an overview
  // whose lines lie in its block. A connection that turns out to mishandle
  // pipelining, or is lost, first has its refusals asked for again.
  TArticleEnd OnArticleEnd;
  // A line for the log: a refused connection, a lost one and its reconnect,
  // how many connections the fetching has when that is not all of them
  // ("Fetching over 2 of 4 connections"), a server that mishandles
  // pipelining.
  TFetcherText OnLog;
  // The fetcher has stopped by itself, with why ("Log-in refused by host",
  // "Connection lost", ...), or after StopAfter with "".
  TFetcherText OnStopped;
  // Every article given has been handed over.
  TNotifyEvent OnIdle;
  // A line of an overview asked for, without CR LF; valid during the call.
  TScanLine OnScanLine;
  // The overview has ended: 0, or the server's code when it refused it (no
  // lines came; 420 and 423 say the range holds no article); 10053 when a
  // line was too long to hold (not asked for again). Any other socket error
  // voids the lines handed over, and it comes again. Unless its connection
  // sends one request at a time, a line numbered outside First..Last is
  // another request's reply: the connection is dropped as one that
  // mishandles pipelining.
  TScanEnd OnScanEnd;
  // The article after After is Number (Error 0); 421 when none follows; or
  // the code of the STAT or the NEXT that the server refused. Cut short, it
  // goes out again.
  TSeekEnd OnSeekEnd;

private:
  using TBlock = TBlockPool::TBlock;

  struct TArticle {
    TArticle(std::int64_t number, std::int64_t lines, std::string id = {})
        : Number(number), Lines(lines), MessageId(std::move(id)) {}
    std::int64_t Number;
    std::int64_t Lines;
    std::string MessageId; // empty: the fill servers are not asked
    // Filling: refused here, and asked of the fill servers once its turn comes.
    enum TState : std::uint8_t { Waiting, Sent, Arrived, Filling } State = Waiting;
    bool FillAsked = false;
    bool Begun = false;            // its reply has begun
    bool Streaming = false;        // its lines go straight to the owner
    bool Discarding = false;       // too big to hold: the rest of its reply is dropped
    bool InOrderOnly = false;      // and it is asked for again only when it is next
    bool Unproven = false;         // refused, on a connection not yet shown to answer in step
    bool Refused = false;          // refused before and asked for again: a refusal now is final
    std::uint8_t AloneMisfits = 0; // answered with another article, one request at a time
    std::uint16_t Error = 0;       // how it ended, once arrived
    // Its lines while it waits its turn, and the bytes their blocks take
    // from the heap, used or not.
    std::vector<TBlock> Blocks;
    std::size_t Held = 0;
    // What the Ahead() decoder made of its lines, and the bytes of the
    // buffer it decodes them into, held as the blocks are.
    TYEncAhead::TPart* Ahead = nullptr;
    std::size_t Aside = 0;
    bool AheadMarked = false; // the blocks say where the lines taken stood
  };

  struct TConnection;

  TArticle* Find(std::int64_t Number);
  int EffectiveDepth() const;
  void Connect(TConnection& c);
  void Halt(bool Quit);
  void CheckStopAfter();
  void StoppedAfter(std::uintptr_t Generation);
  void StopWith(const std::string& Text);
  void Log(const std::string& Text);
  // Not a std::function: a replayed line must cost no heap allocation.
  template <class THandler> void Raise(THandler&& Handler) {
    try {
      Handler();
    } catch (...) {
      if (!FPendingError)
        FPendingError = std::current_exception();
    }
  }
  void RethrowPending();

  void SessionConnected(TConnection& c, std::uint16_t Error);
  void ConnectFailed(TConnection& c, std::string Reason);
  void SessionClosed(TConnection& c);
  void Lost(TConnection& c);
  void ScheduleReconnect(TConnection& c);
  void PaceOrPump(TConnection& c);
  void TellStanding();
  void CheckAlive();
  void LogIn(TConnection& c);
  void RequestDone(TConnection& c, TNntpRequest RqType, std::uint16_t Error);
  void GroupDone(TConnection& c, std::uint16_t Error);
  void LogInDone(TConnection& c, std::uint16_t Error);
  void Stands(TConnection& c);
  bool CompressedStands() const;
  bool PlainStands() const;

  void NoteEnd(TConnection& c, std::uint16_t Error, bool Alone, bool Answered);
  bool TakeEnded(TConnection& c, std::uint16_t Error);
  void GoOnAfter(TConnection& c);
  bool WeighCompression(TConnection& c);
  void GoPlain(TConnection& c);
  void ScanDone(TConnection& c, std::uint16_t Error);
  void SeekDone(TConnection& c, TNntpRequest RqType, std::uint16_t Error);
  void SendNext(TConnection& c);
  void ArticleDone(TConnection& c, std::uint16_t Error);
  void AskAgain(TArticle& a, std::uint16_t Error);
  void Settle(TArticle& a, std::uint16_t Error);
  void Fitted(TConnection& c, std::size_t Before);
  static TArticle Afresh(TArticle& a);
  bool StartFill(TArticle& a, std::uint16_t Error);
  void AskFill(TArticle& a);
  void FillLine(std::int64_t Number, std::string_view Line);
  void FillCut(std::int64_t Number, std::uint16_t Error);
  void FillEnd(std::int64_t Number, const std::string& From);
  bool AskUnprovenAgain(TConnection& c);
  bool ScanLineFits(TConnection& c);
  void Unasked(TConnection& c);
  void MessageBegin(TConnection& c);
  void MessageLine(TConnection& c);
  std::size_t MessageLines(TConnection& c, std::string_view Run);
  void MessageEnd(TConnection& c);
  void Buffer(TArticle& a, std::string_view Line);
  std::size_t HoldRun(TArticle& a, std::string_view Run);
  bool TakeAhead(TArticle& a, std::string_view Line);
  // Its lines are void: what it holds goes back.
  void Void(TArticle& a);
  void Append(TArticle& a, std::uint32_t Length, std::string_view Bytes);
  void HandOverHeld(TArticle& a);
  std::vector<TBlock> Release(TArticle& a);
  bool TakeBlock(TArticle& a, std::size_t Need);
  void GiveBack(std::vector<TBlock>& Blocks) { FBlocks.GiveBack(Blocks, FRunning); }
  void Advance();
  void Replay(std::int64_t Number, std::int64_t Lines, const std::vector<TBlock>& Blocks);
  void ReplayRun(std::int64_t Number, std::string_view Run);
  void Deliver(std::uintptr_t Generation);
  void PumpAll();
  // Sends up to Most requests on c; returns how many went.
  int Pump(TConnection& c, int Most = std::numeric_limits<int>::max());
  TArticle* NextToSend();

  TServerAddress FServer;
  std::string FPassWord;
  std::string FGroup;
  int FConnections = 4;
  int FDepth = 4;
  int FPacing = 0;
  TNntpRequest FRequest = nntpBodyByNumber;
  int FTimeout = 120;
  std::chrono::milliseconds FReconnectDelay{1000};
  std::string FTlsCAFile;
  bool FCompress = false;
  bool FCompressionTold = false;
  bool FPlainTold = false;
  std::int64_t FCompressionStretch = 1024 * 1024;

  TFillFetcher FFill;
  TYEncAhead* FAhead = nullptr;
  std::unique_ptr<THiddenWindow> FWindow;
  std::vector<std::unique_ptr<TConnection>> FPool;
  std::deque<TArticle> FArticles; // given and not yet handed over, by number
  std::int64_t FNextFirst = 0;    // the first article of the next range
  // What the articles not yet in order hold, and the blocks kept for them;
  // stopped, the pool keeps none.
  TBlockPool FBlocks;
  bool FRunning = false;
  bool FStopAfter = false;
  bool FDeliverPosted = false;
  bool FPipelineBroken = false;
  struct TScan {
    std::int64_t First;
    std::int64_t Last;
    bool Sent = false;
  };
  std::deque<TScan> FScans; // overviews asked for and not ended, in the order asked
  struct TSeek {
    std::int64_t After;
    bool Sent = false;
  };
  std::optional<TSeek> FSeek; // asked for and not ended
  // Passed over before any range held them: ranges given later drop them.
  std::int64_t FPassedFrom = std::numeric_limits<std::int64_t>::min();
  std::int64_t FPassedTo = std::numeric_limits<std::int64_t>::min();
  bool FRefusalLogged = false;
  bool FEverConnected = false;
  // The first connection to fail that had not stood yet: while none stands,
  // its tries speak for the others', which follow the same back-off.
  int FSpeaker = 0;
  int FToldStanding = 0; // the connections the log last said the fetching has
  // Counts the stops: what was set going before one is dropped after it.
  std::uintptr_t FGeneration = 0;
  std::exception_ptr FPendingError; // thrown by an owner's handler, raised once the work is done
};

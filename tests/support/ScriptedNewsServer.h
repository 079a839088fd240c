#pragma once

// A news server for tests. It listens on 127.0.0.1 on an ephemeral port (or
// a given one) and runs on its own thread with plain blocking-style POSIX
// calls (every wait is a short poll, so it never hangs the test and stops
// when destroyed), while the client under test runs on the Qt loop of the
// test's thread.
//
// Two ways to use it:
//
// * Scripted: build a list of steps, then Start(). The steps run in order;
//   the first step that needs a connection accepts one, a Close()/Reset()
//   ends it, and a later step accepts the next one.
//
//     TScriptedNewsServer server;
//     server.Reply("200 ready").Expect("GROUP alt.test")
//           .SendSplit("211 3 1 3 alt.test\r\n", {5, 19}).Close().Start();
//     client.SetHost("127.0.0.1");
//     client.SetPort(server.PortText());
//
// * Group mode: ServeGroup() answers GROUP, ARTICLE, HEAD, BODY, STAT, XOVER
//   and QUIT (numbers, "<message-id>" or nothing for the current article)
//   from a list of articles, on any number of connections, at once or one
//   after another, each on a thread of its own. Commands may be pipelined.
//   Text lines are dot-stuffed on the way out. OfferOverview() adds LIST
//   OVERVIEW.FMT; CutBody() and DropConnections() lose connections on
//   purpose; LimitConnections(), SetLatency() and MishandlePipelining() play
//   a provider's limit, a distant server and a broken one; RepeatReply() and
//   AnswerWith() one whose replies fall out of step with the commands;
//   OfferCompression() adds CAPABILITIES and COMPRESS DEFLATE.
//
// Received command lines are recorded (Received()); a line that differs from
// an Expect() step is recorded in Failures(), and the script goes on.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TNewsArticle {
  std::int64_t Number = 0;
  std::vector<std::string> Header; // lines without CR LF
  std::vector<std::string> Body;   // lines without CR LF, not yet dot-stuffed
  // Group mode: the article arrives with this connection (1 = the first), so
  // a client that reconnects finds the group grown.
  int FromConnection = 1;
};

class TScriptedNewsServer {
public:
  // Binds the listening socket, on an ephemeral port unless one is given.
  // Until Start() or ServeGroup() it does not listen, so a server that is
  // never started refuses every connect while keeping its port from anybody
  // else. A port that cannot be bound throws std::system_error with the
  // reason (std::errc::address_in_use when somebody else has it).
  explicit TScriptedNewsServer(std::uint16_t port = 0);
  // Stops the thread and closes every socket.
  ~TScriptedNewsServer();

  TScriptedNewsServer(const TScriptedNewsServer&) = delete;
  TScriptedNewsServer& operator=(const TScriptedNewsServer&) = delete;

  std::uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

  // Script steps (call before Start()).
  TScriptedNewsServer& Send(std::string bytes); // raw bytes, as they are
  TScriptedNewsServer& Reply(std::string line); // line + CR LF
  // Sends bytes in pieces cut at the given offsets, pausing between pieces
  // so that the client sees them in separate receives.
  TScriptedNewsServer& SendSplit(std::string bytes, std::vector<std::size_t> cuts, int pauseMs = 15);
  // Sends block `times` times; memory stays one block however long the reply.
  TScriptedNewsServer& SendRepeated(std::string block, std::size_t times);
  TScriptedNewsServer& Expect(std::string line); // one command line, without CR LF
  // Reads posted text up to the line "." (kept in PostedText(), the end
  // marker not included).
  TScriptedNewsServer& ExpectText();
  // Waits until the client closes the connection (Failures() if it sends a
  // line instead).
  TScriptedNewsServer& ExpectClosed();
  TScriptedNewsServer& Pause(int ms);
  TScriptedNewsServer& Close();  // orderly close (FIN)
  TScriptedNewsServer& Reset();  // abortive close (RST)
  TScriptedNewsServer& Silent(); // keep the connection open and say nothing
  // From here on the connection goes through raw DEFLATE both ways, as after
  // a 206 to COMPRESS DEFLATE: Send and the like compress (flushing each
  // step), Expect reads inflated lines.
  TScriptedNewsServer& Compress();
  // Bytes as they are, past the compression: a server that says 206 and
  // goes on plain.
  TScriptedNewsServer& SendUncompressed(std::string bytes);

  // Runs the script on the server thread.
  void Start();
  // Group mode; replaces any script. The greeting opens every connection.
  void ServeGroup(std::string groupName, std::vector<TNewsArticle> articles,
                  std::string greeting = "200 Vostel test server ready - posting allowed");

  // Group mode, before ServeGroup(): LIST OVERVIEW.FMT answers with these
  // entries and XOVER lines carry the fields they name ("Lines:" and
  // ":lines" the number of body lines, "Bytes:" and ":bytes" its size,
  // "Name:full" as "Name: value"). Without it LIST is not recognised.
  void OfferOverview(std::vector<std::string> format = {
                         "Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:"});
  // Group mode, before ServeGroup(): the next `times` BODY or ARTICLE
  // replies of this article stop after half its body lines and end the
  // connection, with a reset (RST) when reset is set.
  void CutBody(std::int64_t number, bool reset = false, int times = 1);
  // Group mode, before ServeGroup(): every command but AUTHINFO and QUIT is
  // answered 480 until the connection has logged in with this user and
  // password (AUTHINFO USER, 381, AUTHINFO PASS, 281; anything else 481).
  void RequireLogIn(std::string user, std::string password);
  // Group mode: the next count connections are closed before the greeting.
  // May be called while the server runs.
  void DropConnections(int count) { FDrop = count; }
  // Group mode, before ServeGroup(): a connection beyond count open at once
  // is greeted with refusal and closed.
  void LimitConnections(int count, std::string refusal = "502 Too many connections");
  // Group mode, before ServeGroup(): every reply leaves ms after its command
  // came, and commands that come together are answered together, as over a
  // link with that round trip.
  void SetLatency(int ms) { FLatency = ms; }
  // Group mode, before ServeGroup(): of the commands that wait at once (sent
  // before the reply to the first), only the last is answered.
  void MishandlePipelining() { FMishandlePipelining = true; }
  // Group mode, before ServeGroup(): the next `times` replies to this
  // command line ("XOVER 1-1000") go out twice, or followed by the line
  // extra when one is given.
  void RepeatReply(std::string command, int times = 1, std::string extra = "");
  // The next `times` ARTICLE, HEAD or BODY of article asked for bring
  // article given instead.
  void AnswerWith(std::int64_t asked, std::int64_t given, int times = 1);
  // Group mode, before ServeGroup(): CAPABILITIES lists COMPRESS DEFLATE,
  // and AUTHINFO USER while a log-in that RequireLogIn() asks for is
  // missing; COMPRESS DEFLATE is answered with reply, and a 206 switches the
  // connection to DEFLATE both ways. A compressed connection can no longer
  // log in (502), as the protocol has it. CAPABILITIES is answered 5 ms
  // late, as by a server too far for a client to keep it plain.
  void OfferCompression(std::string reply = "206 Compression active") { FCompressReply = std::move(reply); }
  // Group mode, before ServeGroup(): NEXT is not recognised (500), as on a
  // server that lacks it. Otherwise NEXT moves to the article after the
  // current one (223) or says there is none (421).
  void RefuseNext() { FRefuseNext = true; }
  // Group mode: the reply to ARTICLE or BODY of this article waits until
  // Release(), so that a test acts while its request is out and nothing of
  // it has come. May be called while the server runs.
  void HoldArticle(std::int64_t number) { FHeld = number; }
  // Group mode, before ServeGroup(): the overview lists these articles, but
  // ARTICLE, HEAD, BODY and STAT of them are refused (423 by number, 430 by
  // message-id), as from a provider that has lost them.
  void Lack(std::vector<std::int64_t> numbers) { FLacking = std::move(numbers); }
  void Release() { FHeld = 0; }
  // Group mode without a list: articles 1 to count, every number, each with
  // a body of bodyLines short lines, made as they are asked for, so that a
  // group of millions costs the server no memory. It answers GROUP, XOVER,
  // ARTICLE, HEAD, BODY, STAT and NEXT by number, LIST OVERVIEW.FMT (after
  // OfferOverview()) and QUIT.
  void ServeNumberedGroup(std::string groupName, std::int64_t count, int bodyLines);

  // The congestion control of the connections accepted from now on, such as
  // "cubic" (TCP_CONGESTION); false when the system refuses it. A benchmark
  // uses it to keep the sender's pacing out of the receiver's figures.
  bool SetCongestionControl(const std::string& name);

  // Stops the thread now; safe to call twice.
  void Stop();

  bool Finished() const { return FFinished; } // the script ran to its end
  int Connections() const { return FConnections; }
  std::vector<std::string> Received() const;
  // The lines received on one connection (1 = the first accepted).
  std::vector<std::string> ReceivedBy(int connection) const;
  std::vector<std::string> Failures() const;
  std::string PostedText() const;

private:
  enum class TStepKind {
    Send,
    SendSplit,
    SendRepeated,
    Expect,
    ExpectText,
    ExpectClosed,
    Pause,
    Close,
    Reset,
    Silent,
    Compress,
    SendUncompressed
  };
  struct TStep {
    TStepKind Kind;
    std::string Text;
    std::vector<std::size_t> Cuts;
    std::size_t Count = 0;
    int Ms = 0;
  };

  struct TGroupConnection;

  void RunScript();
  void RunGroup();
  void RunStep(const TStep& step);
  void ServeConnection(TGroupConnection& c);
  bool Receive(TGroupConnection& c, int ms);
  bool TakeCommand(TGroupConnection& c, std::string& line);
  void ServeGroupCommand(TGroupConnection& c, const std::string& verb, const std::string& arg);
  void ServeNumberedCommand(TGroupConnection& c, const std::string& verb, const std::string& arg);
  void SendOverviewFormat(TGroupConnection& c);
  bool Accept();
  void EndConnection(int& fd, bool reset);
  // With more set the bytes may wait for the ones sent next (MSG_MORE).
  // On a compressed connection they are compressed first (and flushed
  // unless more is set).
  bool SendAll(int fd, const char* data, std::size_t len, bool more = false);
  bool SendRaw(int fd, const char* data, std::size_t len, bool more);
  // Compression of a connection: switched on with the bytes that came
  // behind the command (inflated in place), then input is appended inflated.
  struct TZLink;
  void StartCompression(int fd, std::string& input);
  bool Compressing(int fd) const;
  bool AppendInput(int fd, std::string& input, const char* data, std::size_t len);
  bool SendAll(int fd, const std::string& s, bool more = false) {
    return SendAll(fd, s.data(), s.size(), more);
  }
  enum class TRead { Line, Closed, Stopped };
  TRead ReadLine(std::string& line);
  bool Sleep(int ms);
  void Record(int connection, const std::string& line);
  void Fail(const std::string& text);

  int FListen = -1;
  int FConn = -1;
  std::uint16_t FPort = 0;
  std::vector<TStep> FScript;
  std::string FInput; // bytes received and not yet cut into lines
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FFinished{false};
  std::atomic<int> FConnections{0};

  // Group mode. Each article is put in the form it goes out in once, when
  // the group is served, so that a reply of any size is a few large writes.
  struct TServed {
    TNewsArticle Article;     // number, header and connection; the body lines are not kept
    std::string MessageID;    // "<...>"
    std::string Head;         // the header lines, dot-stuffed, each with CR LF
    std::string Body;         // the body lines the same way
    std::size_t HalfBody = 0; // bytes of Body up to the end of the first half of its lines
    std::size_t BodyLines = 0;
    std::size_t BodyBytes = 0; // of the body lines with CR LF, before dot-stuffing
  };

  // Group mode: one connection and where it is in the group.
  struct TGroupConnection {
    int Number = 0; // 1 = the first accepted
    int Fd = -1;
    std::string Input; // bytes received and not yet cut into lines
    struct TCommand {
      std::string Text;
      std::chrono::steady_clock::time_point At; // when it came
    };
    std::deque<TCommand> Lines;
    std::vector<const TServed*> Articles; // those this connection sees, by number
    bool GroupSelected = false;
    std::size_t Current = 0; // index into Articles
    std::string UserGiven;
    bool LoggedIn = false;
  };

  std::string FGroupName;
  std::vector<TServed> FAllArticles; // by number
  std::string FGreeting;
  std::vector<std::string> FOverviewFormat;
  struct TCut {
    std::int64_t Number;
    bool Reset;
    int Times;
  };
  std::vector<TCut> FCuts;
  std::atomic<int> FDrop{0};
  std::string FUser, FPassword; // empty: no log-in needed
  int FMaxConnections = 0;      // 0: no limit
  std::string FRefusal;
  std::atomic<int> FActive{0}; // connections being served
  int FLatency = 0;
  bool FMishandlePipelining = false;
  // Guarded by FLock, as FCuts.
  struct TMisanswer {
    std::string Command; // the line, or the article number, it answers
    std::string Extra;
    std::int64_t Given = 0;
    int Times = 0;
  };
  std::vector<TMisanswer> FRepeats, FAnswers;
  bool Misanswer(std::vector<TMisanswer>& list, const std::string& command, TMisanswer* found = nullptr);
  std::string FCompressReply; // empty: no CAPABILITIES, no COMPRESS
  int FAway = 0;              // ms before the capabilities go out
  mutable std::mutex FZLock;  // guards FZLinks; each link is used by its connection's thread only
  std::map<int, std::unique_ptr<TZLink>> FZLinks;
  bool FRefuseNext = false;
  std::atomic<std::int64_t> FHeld{0};
  std::vector<std::int64_t> FLacking;
  std::int64_t FNumbered = 0; // articles of a numbered group, 0 for a listed one
  int FNumberedLines = 0;

  mutable std::mutex FLock; // guards FCuts and the three records below
  std::vector<std::string> FReceived;
  std::vector<int> FReceivedOn; // the connection of each
  std::vector<std::string> FFailures;
  std::string FPosted;
};

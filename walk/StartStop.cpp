// The session's start-up and close, and the user's commands on it: stop,
// stop after the article in hand, restart and skip.

#include "walk/DecodeSession.h"

#include "platform/Convert.h"
#include "platform/IniFile.h"
#include "walk/ServerAddress.h"
#include "walk/SessionSteps.h"
#include "walk/StartValues.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>
#include <utility>

namespace {

// Max Lines not above Min Lines means "no upper limit worth typing".
constexpr std::int32_t OpenMaxLines = 50000;

constexpr const char* ProgressSection = "READED";
constexpr const char* ProgressKey = "LAST";

// The stored position: article numbers pass 2^31 on big servers, so it is
// read as a 64-bit number; anything that is no whole number reads as 0.
std::int64_t ParsePosition(std::string_view text) {
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

// Without its folder a session would fetch every body and save nothing, so a
// folder that cannot be made stops the start-up.
void ForceFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  std::error_code ignored;
  if (!std::filesystem::is_directory(path, ignored))
    throw EInOutError("Cannot create folder " + path + ": " + (error ? error.message() : "Not a directory"));
}

// How far back the next session goes for the first article of a block
// still open.
constexpr std::int64_t MaxHeldBlock = 1000;
constexpr std::int64_t NoBlock = std::numeric_limits<std::int64_t>::max();

} // namespace

void TDecodeSession::Start() {
  FArticleLines = FPartFileCount = FPartKind = FBodyLines = FFileMode = FDecodedCount = 0;
  FNextStep = stepStart;
  FArticleCurrent = FArticleStart = FArticleEnd = FSkipPending = 0;
  FMimeName.clear();
  FMimeBase64 = FInternalAbort = FDataFound = FStopAfter = false;
  FWalkStarted = FWalkDone = FCurrentDone = FConnecting = FStopped = false;
  FLinesField = 0;
  FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  FResumeStep = FLogInRetry = stepStart;
  FReconnectTries = 0;
  FLoggedIn = false;
  FStopText.clear();

  try {
    ReadStartValues();
  } catch (const std::exception& e) {
    StartStopped(e.what(), false); // R would read the same values again
    throw;
  }
  StartSession();
}

// The seven values, once. The server and the group are shown first, so that
// a start-up that stops still says which session it was.
void TDecodeSession::ReadStartValues() {
  if (!StartValues)
    throw Exception("No main window to take the session's settings from");
  const IStartValues& values = *StartValues;
  // The folder keeps the server entry as written, port and all.
  FServerEntry = values.Server();
  const std::string group = values.Group();
  FFolderToMake = values.DownloadPath() + ServerFolderName(FServerEntry) + "/" + group;
  FGroup = group;
  // The user stays out of what is shown, like the password.
  FServerShown = ServerShownName(FServerEntry);
  SetCaption("Decoding");
  const TServerAddress address = SplitServerAddress(FServerEntry);
  Nntp.SetHost(address.Host);
  Nntp.SetPort(address.Port);
  // The socket keeps any CA file it was given: tests trust their own.
  Nntp.SetTls(address.Tls);
  Nntp.SetUserName(address.User);
  Nntp.SetPassWord(values.Password());
  Nntp.SetCompress(values.Compression());

  FDefExt = values.DefaultExt();
  FMinLines = StrToInt(values.MinLines());
  FMaxLines = StrToInt(values.MaxLines());
  FMaxWaitingLines = StrToInt(values.WaitingLines());
  FSubjectFilter = TSubjectFilter(values.SubjectFilter());
  Timer1.setInterval(std::max(0, StrToInt(values.Pacing())));
  TArticleFetcher& fetcher = FWalk.Fetcher();
  fetcher.SetConnections(StrToInt(values.Connections()));
  fetcher.SetDepth(StrToInt(values.RequestsInFlight()));
  fetcher.SetPacing(Timer1.interval());
  fetcher.SetCompress(values.Compression());
  fetcher.SetCompressionTold(false);
  fetcher.SetPlainTold(false);
  fetcher.Fill().SetServers(FillSources(values));
  FLinkSeen = -1;
  FLinesUncounted = 0;
  if (FMaxLines <= FMinLines)
    FMaxLines = FMinLines > std::numeric_limits<std::int32_t>::max() - OpenMaxLines
                    ? std::numeric_limits<std::int32_t>::max()
                    : FMinLines + OpenMaxLines;
}

// The fill servers as their entries say, with the passwords kept for them.
// A number that is no number falls back to one connection, one request.
std::vector<TFillSource> TDecodeSession::FillSources(const IStartValues& Values) {
  const auto number = [](const std::string& text, int fallback) {
    try {
      return StrToInt(text);
    } catch (const std::exception&) {
      return fallback;
    }
  };
  std::vector<TFillSource> sources;
  for (const TFillServer& fill : Values.FillServers()) {
    TFillSource& s = sources.emplace_back();
    s.Server = SplitServerAddress(fill.Entry);
    s.PassWord = Values.PasswordOf(fill.Entry);
    if (s.PassWord.empty())
      s.PassWord = fill.Password;
    s.Connections = number(fill.Connections, 1);
    // Paced, a server gets one request at a time.
    s.Depth = number(fill.Pacing, 0) > 0 ? 1 : number(fill.RequestsInFlight, 1);
    s.Compress = fill.Compression;
  }
  return sources;
}

// From the session folder on. A folder that could not be made may be made
// on a second try, and a connect that could not start may start: R offers
// either.
void TDecodeSession::StartSession() {
  try {
    ForceFolder(FFolderToMake);
  } catch (const std::exception& e) {
    StartStopped(e.what(), true);
    SetAdvice("choose another download path in Configure");
    throw;
  }
  try {
    if (!FLock.Take(FFolderToMake + "/", LockFileName)) {
      WalkedElsewhere();
      return;
    }
  } catch (const std::exception& e) {
    StartStopped(e.what(), true);
    throw;
  }
  FSessionDir = FFolderToMake + "/";
  FRepair.SetFolder(FSessionDir);
  FArticleCurrent = ParsePosition(IniReadString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, "0"));
  SetStatus("Connecting to " + FServerShown);
  FRunning = true;
  try {
    ConnectToServer();
  } catch (...) {
    SetButtons(false, false, true, false); // the status says why
    throw;
  }
  Log("CONNECTING....");
}

// A start-up that stopped says why and offers nothing that cannot work.
void TDecodeSession::StartStopped(const std::string& Why, bool CanRetry) {
  FRunning = false;
  SetStatus(Why);
  SetCaption("Not Started");
  SetButtons(false, false, CanRetry, false);
  PostSettleCheck();
}

// Stores where the next session starts (NextToExamine). A body that the
// close cuts short comes again whole in the next session, so what it left
// in the part files goes, as after a lost connection.
void TDecodeSession::Close() {
  if (std::exchange(FClosed, true))
    return;
  FRunning = false;
  Timer1.stop();
  FReconnectTimer.stop();
  FConnecting = false;
  const bool bodyCut = FNextStep == stepBody && (Nntp.State() == nntpWaitingResponse || FWalk.InArticle());
  Nntp.Abort();
  FWalk.Stop();
  // A verify or repair is not started now; one running stops, and the
  // folder stays as it was before it.
  FRepair.Stop();
  if (FSessionDir.empty()) // the start-up stopped before it had a folder
    return;
  if (bodyCut)
    DiscardCutBody(true);
  CloseYEncFiles();
  const std::int64_t next = NextToExamine();
  // The next session gathers the open block again from its first article.
  if (FPartFile && next == OpenBlockStart())
    DiscardPartFile();
  IniWriteString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, IntToStr(next));
  FLock.Release();
}

// The first article not done with; one the walk never reached is not passed
// over, so a window that examined nothing keeps the position it read. A
// block still open (or thrown away by X) goes on in articles to come: the
// next session starts at its first article to gather it whole, unless that
// lies more than MaxHeldBlock articles back.
std::int64_t TDecodeSession::NextToExamine() const {
  const std::int64_t next = FCurrentDone ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent;
  const std::int64_t block = FStopped ? FStoppedBlock : OpenBlockStart();
  return block < next && block >= SaturatedAdd(next, -MaxHeldBlock) ? block : next;
}

// The article whose body began the block of the open part file.
std::int64_t TDecodeSession::OpenBlockStart() const {
  if (!FPartFile)
    return NoBlock;
  return FPartFileCount == FBlockCount ? FBlockStart : FArticleCurrent;
}

// An article is done with once its body came whole and was scanned, or the
// server refused it, or its header put it out of range; the scanner gives

void TDecodeSession::Stop() {
  Timer1.stop();
  FReconnectTimer.stop();
  FStopped = true;
  FStopAfter = false;
  FStopText.clear();
  FConnecting = false;
  Nntp.Abort();
  FWalk.Stop();
  FRepair.Stop();
  // The unfinished part is thrown away, not decoded; the next session
  // gathers its block again.
  FStoppedBlock = OpenBlockStart();
  if (FPartFile)
    DiscardPartFile();
  // R starts again from where the next session would.
  SetButtons(false, false, !FSessionDir.empty(), false);
  EndWalk(false);
  PostSettleCheck();
}

void TDecodeSession::StopAfter() {
  FStopAfter = true;
  SetButtons(true, false, true, false);
  if (FWalk.Running()) {
    FWalk.StopAfter();
    return;
  }
  // While it waits to reconnect no completion comes to carry A out.
  if (FReconnectTimer.isActive()) {
    FReconnectTimer.stop();
    CarryOutAfter();
  }
}

void TDecodeSession::Restart() {
  SetButtons(true, true, false, true);
  SetCaption("Decoding");
  SetAdvice({});
  FRunning = true;
  FStopText.clear();
  FWalkDone = false;
  FReconnectTimer.stop();
  FReconnectTries = 0;
  if (FSessionDir.empty()) { // the start-up stopped at the folder or its lock
    StartSession();
    return;
  }
  if (FStopped) {
    RestartAfterStop();
    return;
  }
  GoTo(stepReconnect);
}

// After X the walk starts anew, with the values the window started with,
// from the position a close would store now: a block X threw away is
// gathered again from its first article.
void TDecodeSession::RestartAfterStop() {
  const std::int64_t next = NextToExamine();
  IniWriteString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, IntToStr(next));
  FArticleCurrent = next;
  FArticleLines = 0;
  FNextStep = stepStart;
  FSkipPending = 0;
  FInternalAbort = FCurrentDone = FWalkStarted = FStopped = FLoggedIn = false;
  FLinesField = 0;
  FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  FResumeStep = FLogInRetry = stepStart;
  FWalk.Forget();
  SetStatus("Connecting to " + FServerShown);
  ConnectToServer();
  Log("CONNECTING....");
}

// The skip waits for the next advance, so it counts from the article in hand
// then: a HEAD still out is followed by the BODY of the same article.
void TDecodeSession::Skip(std::int64_t N) {
  if (N > 0 && FWalk.Running()) {
    // From the article in hand, which the walk still handles: the one being
    // handed over, or the first not yet handled, whose request may be out.
    const std::int64_t current = FWalk.InArticle() ? FArticleCurrent : FWalk.Position();
    FWalk.Pass(SaturatedAdd(std::min(SaturatedAdd(current, N), FArticleEnd), 1));
    if (!FWalk.InArticle())
      FollowWalk();
  } else if (N > 0) {
    FSkipPending = SaturatedAdd(FSkipPending, N);
  }
}

// The requests the client sends and the readers of their replies.

#include "nntp/NntpCli.h"
#include "nntp/NntpText.h"

#include "platform/Convert.h"

#include <istream>
#include <iterator>
#include <ostream>
#include <string>
#include <utility>

namespace {

// The status of a request's accepted reply; with AUTHINFO, the first one.
int SuccessCode(TNntpRequest Kind) {
  static const int Codes[] = {211, 215, 340, 100, 231, 230, 220, 220, 222, 222, 221,
                              221, 223, 223, 223, 223, 205, 205, 224, 215, 111, 381};
  return Kind < std::size(Codes) ? Codes[Kind] : 0;
}

} // namespace

void ParseListLine(std::string_view Line, std::string& GroupName, std::int64_t& LastArticle,
                   std::int64_t& FirstArticle, char& PostingFlag) {
  std::size_t pos = 0;
  while (pos < Line.size() && IsBlank(Line[pos]))
    ++pos;
  std::size_t end = pos;
  while (end < Line.size() && Line[end] != ' ' && Line[end] != '\t')
    ++end;
  GroupName.assign(Line.substr(pos, end - pos));
  pos = end;
  LastArticle = ReadNumber(Line, pos);
  FirstArticle = ReadNumber(Line, pos);
  while (pos < Line.size() && IsBlank(Line[pos]))
    ++pos;
  PostingFlag = pos < Line.size() ? Line[pos] : '\0';
}

void TNntpCli::Group(std::string_view GroupName) {
  CheckReady("GROUP", nntpGroup);
  SendRequest({nntpGroup, &TNntpCli::GroupNext}, "GROUP " + Trim(GroupName));
}

// Counts past 63 bits cannot be walked: such a reply is refused as no reply
// at all, rather than walked up to the largest number.
void TNntpCli::GroupNext() {
  std::size_t pos = ReadStatusCode();
  if (Misfits(211))
    return;
  bool over[3];
  FArticleEstimated = ReadNumber(FLastResponse, pos, &over[0]);
  FArticleFirst = ReadNumber(FLastResponse, pos, &over[1]);
  FArticleLast = ReadNumber(FLastResponse, pos, &over[2]);
  if (over[0] || over[1] || over[2])
    TriggerRequestDone(NotAStatus);
  else
    EndRequest(211);
}

void TNntpCli::ArticleRequest(TNntpRequest kind, const std::string& arg, std::ostream* DestStream,
                              std::int64_t Number) {
  const char* verb;
  switch (kind) {
  case nntpArticleByNumber:
  case nntpArticleByID:
    verb = "ARTICLE";
    break;
  case nntpBodyByID:
  case nntpBodyByNumber:
    verb = "BODY";
    break;
  case nntpHeadByID:
  case nntpHeadByNumber:
    verb = "HEAD";
    break;
  case nntpStatByID:
  case nntpStatByNumber:
    verb = "STAT";
    break;
  default:
    throw NntpException("Internal error: Invalid Request Type");
  }
  CheckReady(verb, kind);
  SendRequest({kind, &TNntpCli::ArticleNext, DestStream, Number}, verb + arg);
}

namespace {
std::string NumberArg(std::int64_t Number) {
  std::string arg;
  if (Number > 0)
    arg.append(" ").append(IntToStr(Number));
  return arg;
}
std::string IDArg(std::string_view ID) { return " <" + std::string(ID) + ">"; }
} // namespace

void TNntpCli::ArticleByNumber(std::int64_t Number, std::ostream* DestStream) {
  ArticleRequest(nntpArticleByNumber, NumberArg(Number), DestStream, Number);
}
void TNntpCli::ArticleByID(std::string_view ID, std::ostream* DestStream) {
  ArticleRequest(nntpArticleByID, IDArg(ID), DestStream);
}
void TNntpCli::BodyByNumber(std::int64_t Number, std::ostream* DestStream) {
  ArticleRequest(nntpBodyByNumber, NumberArg(Number), DestStream, Number);
}
void TNntpCli::BodyByID(std::string_view ID, std::ostream* DestStream) {
  ArticleRequest(nntpBodyByID, IDArg(ID), DestStream);
}
void TNntpCli::HeadByNumber(std::int64_t Number, std::ostream* DestStream) {
  ArticleRequest(nntpHeadByNumber, NumberArg(Number), DestStream, Number);
}
void TNntpCli::HeadByID(std::string_view ID, std::ostream* DestStream) {
  ArticleRequest(nntpHeadByID, IDArg(ID), DestStream);
}
// STAT, NEXT and LAST carry no text; no stream, so that a server answering
// with text anyway cannot reach a stream left from an earlier request.
void TNntpCli::StatByNumber(std::int64_t Number) {
  ArticleRequest(nntpStatByNumber, NumberArg(Number), nullptr, Number);
}
void TNntpCli::StatByID(std::string_view ID) { ArticleRequest(nntpStatByID, IDArg(ID), nullptr); }

void TNntpCli::Next() {
  CheckReady("NEXT", nntpNext);
  SendRequest({nntpNext, &TNntpCli::ArticleNext}, "NEXT");
}

void TNntpCli::Last() {
  CheckReady("LAST", nntpLast);
  SendRequest({nntpLast, &TNntpCli::ArticleNext}, "LAST");
}

void TNntpCli::List(std::ostream* DestStream) {
  CheckReady("LIST", nntpList);
  SendRequest({nntpList, &TNntpCli::ArticleNext, DestStream}, "LIST");
}

void TNntpCli::Help(std::ostream* DestStream) {
  CheckReady("HELP", nntpHelp);
  SendRequest({nntpHelp, &TNntpCli::ArticleNext, DestStream}, "HELP");
}

namespace {
std::string WhenArgs(double When, bool GMTFlag, std::string_view Distributions) {
  std::string s = FormatWhen(When);
  if (GMTFlag)
    s += " GMT";
  if (!Distributions.empty())
    s += " <" + std::string(Distributions) + ">";
  return s;
}
} // namespace

void TNntpCli::NewGroups(double When, bool GMTFlag, std::string_view Distributions,
                         std::ostream* DestStream) {
  CheckReady("NEWGROUPS", nntpNewGroups);
  SendRequest({nntpNewGroups, &TNntpCli::ArticleNext, DestStream},
              "NEWGROUPS " + WhenArgs(When, GMTFlag, Distributions));
}

void TNntpCli::NewNews(double When, bool GMTFlag, std::string_view NewsGroupName,
                       std::string_view Distributions, std::ostream* DestStream) {
  CheckReady("NEWNEWS", nntpNewNews);
  const std::string group = NewsGroupName.empty() ? "*" : std::string(NewsGroupName);
  SendRequest({nntpNewNews, &TNntpCli::ArticleNext, DestStream},
              "NEWNEWS " + group + " " + WhenArgs(When, GMTFlag, Distributions));
}

void TNntpCli::XOver(std::string_view Articles, std::ostream* DestStream) {
  CheckReady("XOVER", nntpXOver);
  SendRequest({nntpXOver, &TNntpCli::ArticleNext, DestStream}, "XOVER " + std::string(Articles));
}

void TNntpCli::ListOverViewFmt(std::ostream* DestStream) {
  CheckReady("LIST OVERVIEW.FMT", nntpListOverViewFmt);
  SendRequest({nntpListOverViewFmt, &TNntpCli::ArticleNext, DestStream}, "LIST OVERVIEW.FMT");
}

void TNntpCli::ArticleNext() {
  std::size_t pos = ReadStatusCode();
  if (Misfits(SuccessCode(FRequestType)))
    return;
  switch (FStatusCode) {
  case 100:
  case 215:
  case 220:
  case 221:
  case 222:
  case 223:
  case 224:
  case 230:
  case 231:
    break;
  default:
    TriggerRequestDone(StatusError());
    return;
  }
  bool over = false;
  FArticleNumber = ReadNumber(FLastResponse, pos, &over);
  if (over) // no article has that number
    FArticleNumber = -1;
  if (NumberMisfits())
    return;
  const std::size_t open = FLastResponse.find('<', pos);
  if (open != std::string::npos) {
    const std::size_t close = FLastResponse.find('>', open + 1);
    FArticleID = FLastResponse.substr(open + 1, close == std::string::npos ? close : close - open - 1);
  }
  if (FStatusCode == 223) {
    TriggerRequestDone(0);
    return;
  }
  FStatusLine = FLastResponse;
  FNext = &TNntpCli::TextLineNext;
  if (OnMessageBegin)
    OnMessageBegin(this);
}

void TNntpCli::TextLineNext() {
  if (FLine.size() == 1 && FLine[0] == '.') {
    FLastResponse = std::move(FStatusLine);
    FStatusLine.clear();
    // The reply is complete: it ends even when the handler throws.
    try {
      if (OnMessageEnd)
        OnMessageEnd(this);
    } catch (...) {
      TriggerRequestDone(0);
      throw;
    }
    TriggerRequestDone(0);
    return;
  }
  if (FLine.size() >= 2 && FLine[0] == '.' && FLine[1] == '.') {
    FLine.remove_prefix(1);
    if (FKeepTextLines)
      FLastResponse.erase(0, 1);
  }
  if (FDestStream) {
    FDestStream->write(FLine.data(), std::streamsize(FLine.size()));
    FDestStream->write("\r\n", 2);
  }
  if (OnMessageLine)
    OnMessageLine(this);
}

void TNntpCli::Date() {
  CheckReady("DATE", nntpDate);
  SendRequest({nntpDate, &TNntpCli::DateNext}, "DATE");
}

void TNntpCli::DateNext() {
  const std::size_t pos = ReadStatusCode();
  if (Misfits(111) || !StatusIs(111))
    return;
  // A rest of another length, or digits that are no real moment, leave 0.
  double when = 0;
  if (DecodeServerDate(Trim(std::string_view(FLastResponse).substr(pos)), when))
    FServerDate = when;
  TriggerRequestDone(0);
}

void TNntpCli::Quit() {
  CheckReady("QUIT", nntpQuit);
  SendRequest({nntpQuit, &TNntpCli::QuitNext}, "QUIT");
}

// Any answer to QUIT will do, as long as it is one.
void TNntpCli::QuitNext() {
  ReadStatusCode();
  if (Misfits(205))
    return;
  TriggerRequestDone(StatusError() == NotAStatus ? NotAStatus : 0);
}

void TNntpCli::Post(std::istream& Stream) {
  CheckReady("POST", nntpPost);
  FPostStream = &Stream;
  FPostEndSent = false;
  SendRequest({nntpPost, &TNntpCli::PostNext}, "POST");
}

void TNntpCli::PostNext() {
  ReadStatusCode();
  if (!StatusIs(340))
    return;
  FNext = &TNntpCli::PostDone;
  StartReplyClock(); // the result comes once the text is out, however long that takes
  FWSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { WSocketDataSent(s, e); };
  SendPostBlock();
}

// One block at a time, the next only when the socket has sent the last one,
// so a large article never sits in memory whole.
void TNntpCli::SendPostBlock() {
  if (FPostEndSent || !FPostStream)
    return;
  FPostStream->read(FPostBuffer, BufSize);
  const auto n = int(FPostStream->gcount());
  if (n > 0) {
    FWSocket->Send(FPostBuffer, n);
    return;
  }
  FPostEndSent = true;
  FWSocket->Send("\r\n.\r\n", 5);
}

void TNntpCli::WSocketDataSent(TObject*, std::uint16_t Error) {
  if (Error == 0) {
    FLastByte = TClock::now(); // a long post is no silent server
    SendPostBlock();
    return;
  }
  FLastResponse = "441 posting failed";
  PostDone();
}

void TNntpCli::PostDone() {
  FWSocket->OnDataSent = nullptr;
  FPostStream = nullptr;
  ReadStatusCode();
  EndRequest(240);
}

void TNntpCli::Authenticate() {
  CheckReady("AUTHINFO USER", nntpAuthenticate);
  // A line break would end the command early and send the rest as another.
  if ((FUserName + FPassWord).find_first_of("\r\n") != std::string::npos)
    throw NntpException("AUTHINFO: user name or password holds a line break");
  SendRequest({nntpAuthenticate, &TNntpCli::AuthenticateNext1}, "AUTHINFO USER " + FUserName);
}

// A server that knows the user by the connection takes the name alone (281).
void TNntpCli::AuthenticateNext1() {
  ReadStatusCode();
  if (FStatusCode == 281) {
    LogInAccepted();
    return;
  }
  if (!StatusIs(381))
    return;
  FRequestDoneFlag = false;
  FNext = &TNntpCli::AuthenticateNext2;
  StartReplyClock();
  // The password goes out and is kept nowhere else.
  FRequest = "AUTHINFO PASS";
  FWSocket->SendStr(FRequest + " " + FPassWord + "\r\n");
}

void TNntpCli::AuthenticateNext2() {
  ReadStatusCode();
  if (FStatusCode == 281)
    LogInAccepted();
  else
    EndRequest(281);
}

void TNntpCli::LogInAccepted() {
  if (FCompress && FCompressAfterLogIn && !FWSocket->Compressed()) {
    FCompressAfterLogIn = false;
    AskCapabilities();
    return;
  }
  TriggerRequestDone(0);
}

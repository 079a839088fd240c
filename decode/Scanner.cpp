#include "decode/ArticleScanner.h"

#include "platform/Convert.h"
#include "platform/FileOps.h"
#include "platform/Guard.h"

#include <QTimer>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace {

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && SameText(line.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimRightBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  return TrimRightBlanks(text);
}

// Far beyond what a file system takes; only a bound for hostile headers.
constexpr std::size_t MaxNameLength = 1024;
constexpr std::size_t MaxSubjectLength = 4096;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The value of the header field Name on this line, blanks around it removed;
// nothing when the line holds another field.
std::optional<std::string_view> FieldValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':' || !StartsWithNoCase(line, name))
    return std::nullopt;
  return TrimBlanks(line.substr(name.size() + 1));
}

int HexValue(char c) {
  if (IsDigit(c))
    return c - '0';
  c = char(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// An extended value ("utf-8'en'report%20one.pdf"): the bytes the %XX stand
// for, after the charset and language of a first section.
std::string Unescape(std::string_view value, bool first) {
  if (first) {
    const std::size_t language = value.find('\'');
    const std::size_t text = language == value.npos ? value.npos : value.find('\'', language + 1);
    if (text != value.npos)
      value.remove_prefix(text + 1);
  }
  std::string bytes;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const int high = value[i] == '%' && i + 2 < value.size() ? HexValue(value[i + 1]) : -1;
    const int low = high < 0 ? -1 : HexValue(value[i + 2]);
    if (low < 0) {
      bytes += value[i];
    } else {
      // A line end inside a name would break the begin line it goes into.
      if (high * 16 + low >= 32)
        bytes += char(high * 16 + low);
      i += 2;
    }
  }
  return bytes;
}

// Applies the parameter ("name", "filename") of a Content-Type or
// Content-Disposition value on this line to Name, quoted or bare. A plain
// value or the first section of a long one replaces Name; a later section
// ("filename*1*=", the email package splits long names so) is added to it.
// Words without "=" ("inline", "attachment", a media type) are passed over.
void TakeParameter(std::string_view text, std::string_view parameter, std::string& name) {
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (IsBlank(text[at]) || text[at] == ';'))
      ++at;
    const std::size_t equals = text.find_first_of("=;", at);
    if (equals == text.npos)
      break;
    const std::string_view key = TrimBlanks(text.substr(at, equals - at));
    at = equals + 1;
    if (text[equals] == ';')
      continue;
    while (at < text.size() && IsBlank(text[at]))
      ++at;
    std::string value;
    if (at < text.size() && text[at] == '"') {
      // A quoted string may hold ";" and backslash escapes; an unclosed one
      // runs to the end of the line.
      for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] == '\\' && at + 1 < text.size())
          ++at;
        value += text[at];
      }
      ++at;
    } else {
      const std::size_t end = std::min(text.find(';', at), text.size());
      value = TrimRightBlanks(text.substr(at, end - at));
      at = end;
    }

    if (!StartsWithNoCase(key, parameter))
      continue;
    std::string_view section = key.substr(parameter.size());
    if (section.empty()) {
      name = value;
      continue;
    }
    if (section.front() != '*')
      continue;
    section.remove_prefix(1);
    const bool extended = section.empty() || section.back() == '*';
    if (!section.empty() && section.back() == '*')
      section.remove_suffix(1);
    if (!std::all_of(section.begin(), section.end(), IsDigit))
      continue;
    const bool first = section.empty() || section == "0";
    const std::string part = extended ? Unescape(value, first) : value;
    if (first)
      name = part;
    else if (name.size() + part.size() <= MaxNameLength)
      name += part; // a header of endless sections gives no endless name
  }
}

// The mode of a begin line is the run of digits after "begin" and its blanks,
// up to the blank before the name: "begin 7 x" and "begin 100644 x". A
// "begin " line without one is text ("begin 2nd half of the post tomorrow",
// "begin 6x4 bad2.bin").
std::optional<std::int32_t> ModeOf(std::string_view line) {
  std::size_t at = 5;
  while (at < line.size() && IsBlank(line[at]))
    ++at;
  if (at == line.size() || !IsDigit(line[at]))
    return std::nullopt;
  std::int64_t mode = 0;
  for (; at < line.size() && IsDigit(line[at]); ++at)
    mode = std::min<std::int64_t>(mode * 10 + (line[at] - '0'), std::numeric_limits<std::int32_t>::max());
  if (at == line.size() || !IsBlank(line[at]))
    return std::nullopt;
  return static_cast<std::int32_t>(mode);
}

enum : std::uint8_t { fieldNone = 0, fieldType = 1, fieldDisposition = 2 };

// The name of "begin 644 name" and "begin-base64 644 name": what follows
// the mode.
std::string_view BeginLineName(std::string_view line) {
  for (int field = 0; field < 2; ++field) {
    line.remove_prefix(std::min(line.find_first_of(" \t"), line.size()));
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
  }
  return TrimRightBlanks(line);
}

} // namespace

TArticleScanner::TArticleScanner() {
  FYEnc.OnLog = [this](const std::string& Text) { Log(Text); };
  FYEnc.OnFile = [this](const std::string& Path, const std::string& Name) { StoreYEncFile(Path, Name); };
  FYEnc.OnCheckWaiting = [this] { CheckYEncFiles(); };
}

// A part file still open when the scanner goes stays on disk unfinished;
// the writer closes it.
TArticleScanner::~TArticleScanner() = default;

// Said to nobody, unless a walk built on the scanner listens.
void TArticleScanner::Log(const std::string&) {}
void TArticleScanner::LogAppend(const std::string&) {}
void TArticleScanner::SetStatus(const std::string&) {}
void TArticleScanner::FileStarted(std::string_view) {}
void TArticleScanner::FileSaved(const std::string&) {}
void TArticleScanner::Incomplete(const std::string&, const std::string&) {}
void TArticleScanner::CountDecodedFile() { ++FDecodedCount; }
void TArticleScanner::GiveUpBody() {}

// A bad number or a part file that cannot be written costs one log line;
// the next line is handled as usual, so the walk goes on.
void TArticleScanner::HeaderLine(std::string_view Line) {
  try {
    ScanHeaderLine(WithoutCR(Line));
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

void TArticleScanner::BodyLine(std::string_view Line) {
  try {
    ScanBodyLine(WithoutCR(Line));
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

std::size_t TArticleScanner::BodyRun(std::string_view Run, std::size_t MaxLine, std::int64_t& Lines) {
  Lines = 0;
  // The body's first line and a line past a limit do more than count.
  if (FBodyLines < 1 || FBodyCut)
    return 0;
  std::int64_t most = std::numeric_limits<std::int32_t>::max() - std::int64_t(FBodyLines);
  if (FArticleLines > 0)
    most = std::min<std::int64_t>(most, std::int64_t(BodyLineLimit()) - FBodyLines);
  if (FMaxWaitingLines != 0 && !FDataFound)
    most = std::min<std::int64_t>(most, std::int64_t(FMaxWaitingLines) - FBodyLines);
  std::size_t taken = 0;
  try {
    if (FYEnc.Receiving())
      FYEnc.DataLines(Run, MaxLine, most, taken, Lines);
    else if (FPartFile && FPartKind != 2 && !FMimeBase64)
      PartLines(Run, MaxLine, most, taken, Lines);
  } catch (const std::exception& e) {
    Log(e.what());
  }
  FBodyLines += std::int32_t(Lines);
  if (Lines > 0)
    ShowBodyLines();
  return taken;
}

// Data lines of an open uuencode part file go in as they came, in one
// write: lines that are no begin, end or yEnc line, no "--" and no
// Content-Transfer-Encoding field (none of them begins with "=", "b", "B",
// "c", "C", "-" or "e"), whose ends are a plain CR LF, and that the part
// file's limit still takes whole.
void TArticleScanner::PartLines(std::string_view Run, std::size_t MaxLine, std::int64_t MaxLines,
                                std::size_t& Taken, std::int64_t& Lines) {
  const auto plain = [](std::string_view line) {
    return line.empty() ||
           (std::string_view("=bBcC-e").find(line[0]) == std::string_view::npos && line.back() != '\r');
  };
  const char* at = Run.data();
  const std::int64_t room = FPartFileLimit - FPartFile->Size();
  for (std::string_view line; Lines < MaxLines && NextRunLine(at, Run.data() + Run.size(), MaxLine, line);) {
    if (!plain(line) || at - Run.data() > room) {
      at = line.data();
      break;
    }
    ++Lines;
  }
  Taken = std::size_t(at - Run.data());
  if (Taken == 0)
    return;
  FDataFound = true;
  try {
    FPartFile->Write(Run.substr(0, Taken));
  } catch (...) {
    FPartFile.reset();
    FPartKind = 0;
    throw;
  }
}

void TArticleScanner::BodyAhead(std::int64_t Number) {
  TYEncAhead::TPart* ahead = FYEncAhead.Find(Number);
  if (!ahead || ahead->Lines == 0)
    return;
  try {
    const std::int32_t before = FBodyLines;
    FBodyLines = std::int32_t(std::min<std::int64_t>(std::int64_t(before) + ahead->Lines,
                                                     std::numeric_limits<std::int32_t>::max()));
    // Line by line, the first line past the waiting limit would have given
    // up on the body, and the first past the cut-off cut it.
    if (GaveUpWaiting()) {
      FBodyLines = std::max(before, FMaxWaitingLines) + 1;
      return;
    }
    ShowBodyLines();
    if (FBodyCut || CutPastLimit())
      return;
    FYEnc.TakeAhead(ahead->Part, ahead->Buffer, ahead->Fill, ahead->Summed, ahead->At);
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

void TArticleScanner::StartBody() {
  FBodyLines = 0;
  FDataFound = false;
  // What a body cut short must not leave behind (DiscardCutBody).
  FBodyPartCount = FPartFileCount;
  FBodyPartSize = FPartFile ? FPartFile->Size() : 0;
  FBodyMimeBase64 = FMimeBase64;
  FBodyMimeName = FMimeName;
  ShowBodyLines();
}

void TArticleScanner::ScanHeaderLine(std::string_view Line) {
  // What the header says about the body belongs to one article only.
  if (FHeadArticle != FArticleCurrent) {
    FHeadArticle = FArticleCurrent;
    FHeadBase64 = false;
    FHeadName.clear();
    FHeadSubject.clear();
    FHeaderField = fieldNone;
  }
  ReadFileName(Line, FHeadName);
  // The walk may choose by subject, which a long one continues in folded
  // lines; kept to a size no real subject reaches.
  if (const auto subject = FieldValue(Line, "Subject")) {
    FHeadSubject = subject->substr(0, MaxSubjectLength);
    FInSubject = true;
  } else if (FInSubject && !Line.empty() && IsBlank(Line.front())) {
    FHeadSubject += Line.substr(0, MaxSubjectLength - std::min(MaxSubjectLength, FHeadSubject.size()));
  } else {
    FInSubject = false;
  }
  if (const auto encoding = FieldValue(Line, "Content-Transfer-Encoding"))
    FHeadBase64 = SameText(*encoding, "base64");

  if (!StartsWithNoCase(Line, "LINES:"))
    return;
  LogAppend(std::string(Line));
  FArticleLines = StrToInt(Line.substr(6));
}

void TArticleScanner::ScanBodyLine(std::string_view Line) {
  // A server can send more lines than the count holds; it stops at the top.
  if (FBodyLines < std::numeric_limits<std::int32_t>::max())
    ++FBodyLines;
  if (GaveUpWaiting())
    return;
  ShowBodyLines();

  if (FBodyLines == 1) {
    FBodyCut = false;
    // A body file whose end was never reported must not take another body.
    if (FBodyPart && FPartFile)
      KeepUnfinishedPartFile();
    FYEnc.Drop(""); // EndOfBody has said why, or the controller never asked
    if (FHeadArticle == FArticleCurrent && FHeadBase64 && !FHeadName.empty())
      StartBodyPart();
  }
  if (FBodyCut || CutPastLimit())
    return;

  // Inside a yEnc part every line is the part's: its data lines may begin
  // with "end", "--" or "begin ".
  if (FYEnc.Receiving()) {
    FYEnc.Line(Line);
    return;
  }
  // A line that starts a block opens a part file of its own and never goes
  // into the one it replaces.
  if (StartsYEncPart(Line) || StartsBlock(Line))
    return;

  // Copied before it is examined, so a line that ends a block lands in it.
  if (FPartFile)
    CopyToPartFile(Line);

  if (FMimeBase64) {
    ReadFileName(Line, FMimeName);
  } else if (SameText(Line, "Content-Transfer-Encoding: base64")) {
    FMimeBase64 = true;
    FHeaderField = fieldNone;
  }

  if (FPartFile && EndsBlock(Line))
    FinishPartFile(false);
}

// The blank line that ends a base64 MIME part header, a begin-base64 line
// (kind 2), "begin 644" or "begin 064" (kind 1) and any other "begin " line
// with a mode (kind 3). While a part header is read, begin lines are not
// looked for.
bool TArticleScanner::StartsBlock(std::string_view Line) {
  if (FMimeBase64) {
    if (Line.size() > 2)
      return false;
    StartMimePart();
    return true;
  }
  // Most lines are data, and no data line of uuencode begins with a "b".
  if (Line.size() < 9 || (Line[0] != 'b' && Line[0] != 'B'))
    return false;
  const std::string_view head = Line.substr(0, 9);
  if (SameText(head, "begin-bas")) {
    StartBlock(Line, 2);
    return true;
  }
  if (!SameText(Line.substr(0, 6), "begin "))
    return false;
  const std::optional<std::int32_t> mode = ModeOf(Line);
  if (!mode)
    return false;
  if (SameText(head, "begin 644") || SameText(head, "begin 064")) {
    StartBlock(Line, 1);
  } else {
    FFileMode = *mode;
    StartBlock(Line, 3);
  }
  return true;
}

// Kinds 1 and 3: any line of three or more characters that begins with "end"
// or "--". Base64 lines can begin with "end", so a base64 block ends only on
// a trailer alone on its line ("end", or "====" from uuencode -m) or "--".
bool TArticleScanner::EndsBlock(std::string_view Line) const {
  const bool dashes = Line.size() >= 3 && Line.substr(0, 2) == "--";
  if (FPartKind != 2)
    return dashes || (Line.size() >= 3 && Line.substr(0, 3) == "end");
  const std::string_view trimmed = TrimRightBlanks(Line);
  return dashes || trimmed == "end" || trimmed == "====";
}

void TArticleScanner::CopyToPartFile(std::string_view Line) {
  if (FPartKind != 2) {
    WritePart(Line, true);
  } else if (EndsBlock(Line)) {
    // Base64 text is joined into one run; the trailer needs a line of its
    // own or the decoder reads it as data.
    WritePart("\r\nend");
  } else {
    WritePart(Line);
  }
  // The second and third article of a long post carry data without a begin
  // line; the waiting limit must not cut them short.
  FDataFound = true;
}

// A name from Content-Disposition's filename= (whatever the disposition:
// "inline", "attachment", ...) or Content-Type's name=, also on the folded
// lines that continue the field; the last one read counts.
void TArticleScanner::ReadFileName(std::string_view Line, std::string& Name) {
  std::string_view parameters = Line;
  if (Line.empty() || !IsBlank(Line.front())) {
    if (const auto type = FieldValue(Line, "Content-Type")) {
      FHeaderField = fieldType;
      parameters = *type;
    } else if (const auto disposition = FieldValue(Line, "Content-Disposition")) {
      FHeaderField = fieldDisposition;
      parameters = *disposition;
    } else {
      FHeaderField = fieldNone;
    }
  }
  if (FHeaderField != fieldNone)
    TakeParameter(parameters, FHeaderField == fieldDisposition ? "filename" : "name", Name);
}

void TArticleScanner::StartMimePart() {
  FMimeBase64 = false;
  FHeaderField = fieldNone;
  if (!FMimeName.empty())
    LogAppend(FMimeName);
  LogAppend("Mime base64");
  KeepUnfinishedPartFile();
  const std::string mimeName = std::exchange(FMimeName, {});
  StartPartFile(2);
  const std::string name =
      mimeName.empty() ? IntToStr(FArticleCurrent) + IntToStr(FPartFileCount) + "." + FDefExt : mimeName;
  FileStarted(name);
  FPartKind = 2;
  FBodyPart = false;
  WritePart("begin-base64 0644 " + name + "\r\n");
  FDataFound = true;
}

// The whole body of a single-part MIME article is the base64 text of the file
// its header names; EndOfBody finishes it.
void TArticleScanner::StartBodyPart() {
  FMimeName = FHeadName;
  StartMimePart();
  FBodyPart = true;
}

void TArticleScanner::EndOfBody(bool Complete) {
  try {
    // A yEnc part lies within one article.
    FYEnc.Drop(Complete ? "the article ended before =yend" : "the article was cut short");
    if (!FBodyPart || !FPartFile)
      return;
    if (Complete)
      FinishPartFile(true);
    else
      KeepUnfinishedPartFile();
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

void TArticleScanner::StartBlock(std::string_view Line, std::int32_t Kind) {
  LogAppend(std::string(Line));
  FileStarted(BeginLineName(Line));
  KeepUnfinishedPartFile();
  StartPartFile(Kind);
  FPartKind = Kind;
  FBodyPart = false;
  WritePart(Line);
  WritePart("\r\n");
  FDataFound = true;
}

// A part file is always a new file: a number that an earlier window's kept
// part file (or anything else, a link included) holds is passed over, so
// what the log said was kept is never truncated or written through.
void TArticleScanner::StartPartFile(std::int32_t Kind) {
  auto file = std::make_unique<TPartFile>(FSessionDir, Kind);
  std::string path;
  try {
    do {
      ++FPartFileCount;
      path = FSessionDir + IntToStr(FPartFileCount) + (Kind == 2 ? ".B64" : ".UUE");
    } while (!file->CreateNew(path) && FPartFileCount < std::numeric_limits<std::int32_t>::max());
  } catch (const EInOutError&) {
    file.reset(); // the log line the user has always seen, without the system's reason
  }
  if (!file || !file->IsOpen())
    throw EInOutError("Cannot create file " + path);
  FPartFile = std::move(file);
}

// A part file that cannot be written is given up at once rather than
// failing again on every following line; one that would grow past its
// limit is kept as it is.
void TArticleScanner::WritePart(std::string_view Data, bool LineEnd) {
  if (!FPartFile)
    return;
  const std::int64_t size = std::int64_t(Data.size()) + (LineEnd ? 2 : 0);
  if (LineEnd && FPartFile->Size() + size > FPartFileLimit) {
    // The limit may fall between the line and its CRLF.
    WritePart(Data);
    WritePart("\r\n");
    return;
  }
  if (FPartFile->Size() + size > FPartFileLimit) {
    const std::string name = ExtractName(PartFileName());
    ClosePartFile();
    const std::string text =
        "Part file " + name + " cut off at " + IntToStr(FPartFileLimit) + " bytes, kept undecoded";
    Log(text);
    Incomplete(name, text);
    return;
  }
  try {
    FPartFile->Write(Data, LineEnd);
  } catch (...) {
    FPartFile.reset();
    FPartKind = 0;
    throw;
  }
}

void TArticleScanner::FinishPartFile(bool EndLine) {
  const std::unique_ptr<TPartFile> file = std::move(FPartFile);
  FBodyPart = false;
  try {
    if (EndLine)
      file->Write(FPartKind == 2 ? "\r\nend\r\n" : "end\r\n");
    file->Close();
  } catch (...) {
    // Not decoded: the file on disk is incomplete.
    FPartKind = 0;
    throw;
  }
  FPartDecoder = file->TakeDecoder();
  DecodePartFile();
  FPartKind = 0;
}

// A block that never reached its end stays on disk as it is, for the user to
// look at; decoding it would save a file with data missing.
void TArticleScanner::KeepUnfinishedPartFile() {
  if (!FPartFile)
    return;
  const std::string path = PartFileName();
  ClosePartFile();
  Log("Unfinished part file kept " + path);
  Incomplete(path, "Unfinished part file kept " + path);
}

void TArticleScanner::ClosePartFile() {
  const std::unique_ptr<TPartFile> file = std::move(FPartFile);
  FPartKind = 0;
  FBodyPart = false;
  try {
    file->Close();
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

// A body cut short comes again whole after the reconnect, so what it left
// goes: the scanner's MIME state returns to where the body began, a part
// file the body started is deleted, and a part file it continued from
// earlier articles is cut back to where the body began, so that the body
// continues it again and a file posted over several articles still decodes
// whole. A body that will not come again leaves its part file undecoded.
void TArticleScanner::DiscardCutBody(bool ComesAgain) {
  FMimeBase64 = FBodyMimeBase64;
  FMimeName = FBodyMimeName;
  if (!FPartFile)
    return;
  const std::string path = PartFileName();
  if (ComesAgain && FPartFileCount == FBodyPartCount) {
    try {
      FPartFile->Truncate(FBodyPartSize);
      Log("Part file rewound " + path);
      return;
    } catch (const std::exception& e) {
      Log(e.what());
    }
  }
  if (!ComesAgain || FPartFileCount == FBodyPartCount) {
    KeepUnfinishedPartFile();
    return;
  }
  DiscardPartFile();
  Log("Unfinished part file discarded " + path);
}

void TArticleScanner::DiscardPartFile() {
  const std::string path = PartFileName();
  FPartFile.reset();
  FPartKind = 0;
  DeleteFile(path);
}

// Lines: may be off by a little, not by this much: a body past it is
// hostile or broken, and the rest of it is passed over.
std::int64_t TArticleScanner::BodyLineLimit() const {
  return BodyLineFactor * std::int64_t(FArticleLines) + BodyLineMargin;
}

// Past the waiting limit with no data found, the body is given up.
bool TArticleScanner::GaveUpWaiting() {
  if (FMaxWaitingLines == 0 || FBodyLines <= FMaxWaitingLines || FDataFound)
    return false;
  Log("DOWNLOAD ABORTED, MAX WAITING LINES");
  FInternalAbort = true;
  GiveUpBody();
  return true;
}

bool TArticleScanner::CutPastLimit() {
  if (FArticleLines <= 0 || FBodyLines <= BodyLineLimit())
    return false;
  CutOffBody();
  return true;
}

void TArticleScanner::CutOffBody() {
  FBodyCut = true;
  FYEnc.Drop("");
  std::string text =
      "Body cut off past " + IntToStr(BodyLineLimit()) + " lines (Lines: " + IntToStr(FArticleLines) + ")";
  const std::string name = FPartFile ? ExtractName(PartFileName()) : std::string();
  if (FPartFile) {
    text += ", part file " + name + " kept undecoded";
    ClosePartFile();
  }
  Log(text);
  if (!name.empty())
    Incomplete(name, text);
}

// "=ybegin" starts a yEnc part as a begin line starts a block. "=ypart" and
// "=yend" outside a part are reported, unless a part file is open, whose
// data they may be.
bool TArticleScanner::StartsYEncPart(std::string_view Line) {
  const TYEncKeyword keyword = YEncKeyword(Line);
  if (keyword == ykNone || (keyword != ykBegin && FPartFile))
    return false;
  if (keyword == ykBegin) {
    LogAppend(std::string(Line));
    TYEncLine fields;
    ParseYEncLine(Line, fields);
    FileStarted(fields.Name);
    KeepUnfinishedPartFile();
    FDataFound = true;
    FYEnc.SetFolder(FSessionDir);
  }
  FYEnc.Line(Line);
  return true;
}

void TArticleScanner::StoreYEncFile(const std::string& Path, const std::string& Name, int FirstCopy) {
  const std::string stored = StoreDecodedFile(Path, Name, FirstCopy);
  FileSaved(stored);
  CountDecodedFile();
}

// A whole yEnc file is read back for its check a piece per turn of the
// event loop, between the lines of the walk.
void TArticleScanner::CheckYEncFiles() {
  QTimer::singleShot(FYEnc.CheckHeld() ? 20 : 0, &FChecks, [this] {
    Guarded([this] {
      if (FYEnc.CheckSome())
        CheckYEncFiles();
    });
  });
}

// What is being checked is checked to the end before the window goes.
void TArticleScanner::CloseYEncFiles() {
  FYEnc.Drop("the window closed before =yend");
  FYEnc.CheckAll();
  FYEnc.ReportUnfinished();
}

std::string TArticleScanner::PartFileName() const {
  return FSessionDir + IntToStr(FPartFileCount) + (FPartKind == 2 ? ".B64" : ".UUE");
}

#pragma once

#include "decode/PartFile.h"
#include "decode/YEncAhead.h"
#include "decode/YEncReceiver.h"

#include <QObject>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The article scanner and the decode stage of a walk: reads the header and
// body lines of the article a walk stands at, cuts uuencoded, base64, MIME
// and yEnc attachments out of the bodies into part files in the session
// folder, and turns each finished part file into the file it carries. The
// walk (TDecodeSession) builds on it and shares its state, as the walk's
// controller and scanner always have; what the scanner has to say goes
// through the hooks below, which say nothing here.
class TArticleScanner {
public:
  TArticleScanner();
  virtual ~TArticleScanner();
  TArticleScanner(const TArticleScanner&) = delete;
  TArticleScanner& operator=(const TArticleScanner&) = delete;

  // One line of the header or the body of article FArticleCurrent. A bad
  // number or a part file that cannot be written costs one log line; the
  // next line is handled as usual, so the walk goes on.
  void HeaderLine(std::string_view Line);
  void BodyLine(std::string_view Line);
  // Whole lines of the body in a row, CR LF ends included (Run may end in
  // an unfinished one): the data lines of a yEnc part, or of a uuencode
  // part file, at Run's start, up to the first that would end the part or
  // the block, cut the body or give up waiting, begins with "." or is
  // longer than MaxLine, are taken as BodyLine takes them. Gives the bytes
  // they fill, and their count in Lines.
  std::size_t BodyRun(std::string_view Run, std::size_t MaxLine, std::int64_t& Lines);
  // The lines of article Number's yEnc part that came ahead of their turn
  // and were decoded then (Ahead()), in the body where they stood: counted
  // and taken up as BodyLine would have taken them one by one.
  void BodyAhead(std::int64_t Number);
  // Decodes the yEnc parts of articles that come ahead of their turn; the
  // fetcher gives it their lines.
  TYEncAhead& Ahead() { return FYEncAhead; }
  // Resets what is counted per body, as every body request does.
  virtual void StartBody();
  // To be called when a body request has ended, Complete when the whole body
  // arrived. A part file that holds the body of a single-part MIME article
  // ends with that body: it is decoded when complete, else kept undecoded.
  // Any other part file stays open for the next article. Never raises.
  void EndOfBody(bool Complete);
  // For the close: drops a part still arriving, finishes the checks of whole
  // files, and logs, one line per file, what the files this scanner wrote
  // into still miss.
  void CloseYEncFiles();

  static std::string ExtractName(const std::string& Path);
  // The lock of the session folder, one of the folder's own files that no
  // decoded file takes the name of.
  static constexpr const char* LockFileName = ".vostel.lock";

protected:
  // What the scanner has to say.
  virtual void Log(const std::string& Text);
  virtual void LogAppend(const std::string& Text);
  virtual void SetStatus(const std::string& Text);
  // A file began to arrive under Name, as the post names it.
  virtual void FileStarted(std::string_view Name);
  // A file was stored in the session folder under Name.
  virtual void FileSaved(const std::string& Name);
  // A file left incomplete: Name as in the session folder, Why as the log
  // says it.
  virtual void Incomplete(const std::string& Name, const std::string& Why);
  // A part file is done with, decoded or not: FDecodedCount goes up.
  virtual void CountDecodedFile();
  // The waiting limit has given up on the body: the rest of it is not read.
  virtual void GiveUpBody();

  void ShowBodyLines() { FBodyLinesShown = FBodyLines; }
  void ScanHeaderLine(std::string_view Line);
  void ScanBodyLine(std::string_view Line);
  void PartLines(std::string_view Run, std::size_t MaxLine, std::int64_t MaxLines, std::size_t& Taken,
                 std::int64_t& Lines);
  void StartMimePart();
  void StartBlock(std::string_view Line, std::int32_t Kind);
  void StartPartFile(std::int32_t Kind);
  bool EndsBlock(std::string_view Line) const;
  // LineEnd: Data is a line, and its CRLF follows it.
  void WritePart(std::string_view Data, bool LineEnd = false);
  // Closes the open part file (after the trailer when EndLine), decodes it
  // and leaves no part file open.
  void FinishPartFile(bool EndLine);
  void DecodePartFile();
  std::string DecodeFinishedPart(const std::string& PartFile, std::unique_ptr<TPartDecoder>& Decoder);
  std::string DecodeByKind(TPartDecoder& Decoder);
  std::string DecodeAttempt(const char* Status, TPartDecoder::TResult& Result);
  std::string PartFileName() const;

  // Single-part articles, unfinished blocks, and the names decoded files are
  // stored under.
  bool StartsBlock(std::string_view Line);
  void CopyToPartFile(std::string_view Line);
  void ReadFileName(std::string_view Line, std::string& Name);
  void StartBodyPart();
  void KeepUnfinishedPartFile();
  // Closes the open part file and leaves it on disk undecoded.
  void ClosePartFile();
  // A body cut short: what it left goes (see Scanner.cpp).
  void DiscardCutBody(bool ComesAgain);
  void DiscardPartFile();
  // What one article may write: a body far past its Lines: is cut off, and
  // so is a part file that would grow past FPartFileLimit; either is kept
  // undecoded, with one line in the log.
  static constexpr std::int64_t BodyLineFactor = 4;
  static constexpr std::int64_t BodyLineMargin = 1000;
  std::int64_t BodyLineLimit() const;
  void CutOffBody();
  // The checks of every body line, true when they ended the body's reading.
  bool GaveUpWaiting();
  bool CutPastLimit();                                 // the body ran past BodyLineLimit(): cut off
  std::int64_t FPartFileLimit = std::int64_t(8) << 30; // tests lower it
  bool FBodyCut = false;                               // the rest of this body is passed over
  // Moves the finished file Decoded into the session folder under Name, or
  // under "Name (1).ext", "Name (2).ext", ... when a different file holds
  // that name or Name is one of the session's own files (dati.ini, a part
  // file name), without regard to case. A file with the same content is
  // replaced. Only the last part of Name counts, cut to what the folder
  // takes (the extension kept). The file gets the mode of a new file.
  // Returns the name written; raises EInOutError and leaves Decoded where it
  // is when it cannot store. FirstCopy 1 leaves Name itself to a file still
  // being put together under it.
  std::string StoreDecodedFile(const std::string& Decoded, std::string Name, int FirstCopy = 0);

  // yEnc: parts are decoded as their lines arrive; the files of several
  // parts are put together in the session folder, across walks.
  // Reads a piece of a whole file being checked at the next turn of the
  // event loop, and so on to its end.
  void CheckYEncFiles();
  bool StartsYEncPart(std::string_view Line);
  void StoreYEncFile(const std::string& Path, const std::string& Name, int FirstCopy = 0);
  TYEncReceiver FYEnc;
  TYEncAhead FYEncAhead;

  // The state the scanner shares with the walk.
  std::int32_t FArticleLines = 0;
  std::int32_t FPartFileCount = 0;
  std::int32_t FPartKind = 0; // 0 none, 1 and 3 uuencode (".UUE"), 2 base64 (".B64")
  // Article numbers are 64-bit like the client's: big servers pass 2^31.
  std::int64_t FArticleCurrent = 0;
  bool FMimeBase64 = false;
  std::int32_t FBodyLines = 0;
  std::int32_t FBodyLinesShown =
      0; // what the body's progress shows: a line the waiting limit turns away is not
  std::int32_t FMaxWaitingLines = 0; // 0 = never give up on a body
  bool FInternalAbort = false;       // the scanner gave up on a body
  std::int32_t FFileMode = 0;
  bool FDataFound = false;
  std::int32_t FDecodedCount = 0;
  std::unique_ptr<TPartFile> FPartFile;
  // The decode of the part file just finished, for DecodePartFile.
  std::unique_ptr<TPartDecoder> FPartDecoder;
  std::string FSessionDir;
  std::string FMimeName;
  std::string FDefExt;

  // Where the body being read began, for a body cut short (DiscardCutBody).
  std::int32_t FBodyPartCount = 0; // FPartFileCount when the body started
  std::int64_t FBodyPartSize = 0;  // and the size of the part file open then
  bool FBodyMimeBase64 = false;    // the scanner's MIME state when the body started
  std::string FBodyMimeName;

  // What the header of article FHeadArticle says about its body.
  std::int64_t FHeadArticle = 0;
  bool FHeadBase64 = false;
  std::string FHeadName;
  std::string FHeadSubject;
  bool FInSubject = false;       // a folded line continues the Subject
  std::uint8_t FHeaderField = 0; // the name-bearing field a folded line continues
  bool FBodyPart = false;        // the open part file ends with the body

private:
  QObject FChecks; // the receiver of the checks' turns, which go with the scanner
};

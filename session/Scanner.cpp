#include "session/ChildWin.h"

#include "platform/Convert.h"

#include <QProgressBar>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace {

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && SameText(line.substr(0, prefix.size()), prefix);
}

std::string_view TrimRightBlanks(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  return line;
}

constexpr std::string_view MimeNamePrefix = "Content-Disposition: inline; filename=";

} // namespace

void TMDIChild::NntpMessageLine(TObject*) { ScanLine(Nntp.LastResponse()); }

// A bad number or a part file that cannot be written costs one log line;
// the next line is handled as usual, so the walk goes on.
void TMDIChild::ScanLine(std::string_view Line) {
  try {
    if (FNextStep == stepHead)
      ScanHeaderLine(Line);
    else if (FNextStep == stepBody)
      ScanBodyLine(Line);
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

void TMDIChild::ScanHeaderLine(std::string_view Line) {
  if (!StartsWithNoCase(Line, "LINES:"))
    return;
  LogAppend(std::string(Line));
  FArticleLines = StrToInt(Line.substr(6));
}

void TMDIChild::ScanBodyLine(std::string_view Line) {
  // A server can send more lines than the count holds; it stops at the top.
  if (FBodyLines < std::numeric_limits<std::int32_t>::max())
    ++FBodyLines;
  if (FMaxWaitingLines != 0 && FBodyLines > FMaxWaitingLines && !FDataFound) {
    Log("DOWNLOAD ABORTED, MAX WAITING LINES");
    FInternalAbort = true;
    Nntp.Abort();
    return;
  }
  ShowBodyLines();

  // The line goes into the open file before it is examined, so a line that
  // starts or ends a block also lands in the file open at this moment.
  const bool closes = FPartFile && EndsBlock(Line);
  if (FPartFile) {
    if (FPartKind != 2) {
      FLine.assign(Line);
      FLine += "\r\n";
      WritePart(FLine);
    } else if (closes) {
      // Base64 text is joined into one run; the trailer needs a line of its
      // own or the decoder reads it as data.
      WritePart("\r\nend");
    } else {
      WritePart(Line);
    }
  }

  if (FMimeBase64) {
    if (Line.size() <= 2)
      StartMimePart();
    else if (Line.size() > MimeNamePrefix.size() && StartsWithNoCase(Line, MimeNamePrefix)) {
      std::string_view name = Line.substr(MimeNamePrefix.size());
      // A quoted name loses its quotes; a bare token is the name itself.
      if (name.front() == '"') {
        name.remove_prefix(1);
        if (!name.empty())
          name.remove_suffix(1);
      }
      FMimeName = name;
      LogAppend(FMimeName);
    }
  } else if (SameText(Line, "Content-Transfer-Encoding: base64")) {
    FMimeBase64 = true;
  } else if (Line.size() >= 9) {
    const std::string_view head = Line.substr(0, 9);
    if (SameText(head, "begin 644") || SameText(head, "begin 064")) {
      StartBlock(Line, 1, ".UUE");
    } else if (SameText(head, "begin-bas")) {
      StartBlock(Line, 2, ".B64");
    } else if (SameText(Line.substr(0, 6), "begin ")) {
      FFileMode = StrToInt(Trim(Line.substr(5, 4)));
      StartBlock(Line, 3, ".UUE");
    }
  }

  if (closes && FPartFile)
    FinishPartFile(false);
}

// Moving the bar costs more than scanning a line, so it moves only when the
// step shows, by a pixel or more; past the maximum it shows full.
void TMDIChild::ShowBodyLines() {
  const int maximum = ProgressBar2->maximum();
  const int position = std::min(FBodyLines, maximum);
  const int pixel = std::max(1, maximum / std::max(1, ProgressBar2->width()));
  if (std::abs(position - ProgressBar2->value()) >= pixel || position == maximum)
    ProgressBar2->setValue(position);
}

// Kinds 1 and 3: any line of three or more characters that begins with "end"
// or "--". Base64 lines can begin with "end", so a base64 block ends only on
// a trailer alone on its line ("end", or "====" from uuencode -m) or "--".
bool TMDIChild::EndsBlock(std::string_view Line) const {
  const bool dashes = Line.size() >= 3 && Line.substr(0, 2) == "--";
  if (FPartKind != 2)
    return dashes || (Line.size() >= 3 && Line.substr(0, 3) == "end");
  const std::string_view trimmed = TrimRightBlanks(Line);
  return dashes || trimmed == "end" || trimmed == "====";
}

void TMDIChild::StartMimePart() {
  FMimeBase64 = false;
  if (FPartFile)
    FinishPartFile(true);
  ++FPartFileCount;
  const std::string name =
      FMimeName.empty() ? IntToStr(FArticleCurrent) + IntToStr(FPartFileCount) + "." + FDefExt : FMimeName;
  FMimeName.clear();
  CreatePartFile(FSessionDir + IntToStr(FPartFileCount) + ".B64");
  LogAppend("Mime base64");
  FPartKind = 2;
  WritePart("begin-base64 0644 " + name + "\r\n");
  FDataFound = true;
}

void TMDIChild::StartBlock(std::string_view Line, std::int32_t Kind, const char* Extension) {
  LogAppend(std::string(Line));
  if (FPartFile)
    FinishPartFile(true);
  StartPartFile(Extension);
  FPartKind = Kind;
  WritePart(Line);
  WritePart("\r\n");
  FDataFound = true;
}

void TMDIChild::StartPartFile(const char* Extension) {
  ++FPartFileCount;
  CreatePartFile(FSessionDir + IntToStr(FPartFileCount) + Extension);
}

// The log line the user has always seen for this, without the system's reason.
void TMDIChild::CreatePartFile(const std::string& Path) {
  try {
    FPartFile = std::make_unique<TFileWriter>(Path);
  } catch (const EInOutError&) {
    throw EInOutError("Cannot create file " + Path);
  }
}

// A part file that cannot be written is given up at once rather than
// failing again on every following line.
void TMDIChild::WritePart(std::string_view Data) {
  try {
    FPartFile->Write(Data);
  } catch (...) {
    FPartFile.reset();
    FPartKind = 0;
    throw;
  }
}

void TMDIChild::FinishPartFile(bool EndLine) {
  const std::unique_ptr<TFileWriter> file = std::move(FPartFile);
  try {
    if (EndLine)
      file->Write(FPartKind == 2 ? "\r\nend\r\n" : "end\r\n");
    file->Close();
  } catch (...) {
    // Not decoded: the file on disk is incomplete.
    FPartKind = 0;
    throw;
  }
  DecodePartFile();
  FPartKind = 0;
}

std::string TMDIChild::PartFileName() const {
  return FSessionDir + IntToStr(FPartFileCount) + (FPartKind == 2 ? ".B64" : ".UUE");
}

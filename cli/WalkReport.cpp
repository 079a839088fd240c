#include "cli/WalkReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

// The type first, for a reader of the lines; the other fields follow.
std::string JsonLine(const char* Type, const QJsonObject& Fields) {
  const std::string rest = QJsonDocument(Fields).toJson(QJsonDocument::Compact).toStdString();
  return std::string("{\"type\":\"") + Type + "\"" + (rest == "{}" ? "}" : "," + rest.substr(1));
}

// The terminal's width in columns; 80 when it does not say.
std::size_t Columns(std::FILE* out) {
  winsize size{};
  return ::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// The text cut to columns characters (UTF-8 sequences count as one), so
// that the line never wraps and "\r" goes back to its start.
std::string Fitted(const std::string& text, std::size_t columns) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++characters > columns)
      return text.substr(0, i);
  return text;
}

} // namespace

TWalkReport::TWalkReport(std::FILE* Out, TForm Form) : FOut(Out), FForm(Form) {}

void TWalkReport::Log(const std::string& Text) {
  FlushLog();
  FLogLine = Text;
  FLogOpen = true;
}

void TWalkReport::LogAppend(const std::string& Text) {
  if (!FLogOpen)
    return Log(Text);
  FLogLine += " " + Text;
}

// The terminal shows the progress line, not the log.
void TWalkReport::FlushLog() {
  if (!std::exchange(FLogOpen, false) || FForm == Terminal)
    return;
  Put(FForm == Json ? JsonLine("log", {{"text", ToQt(FLogLine)}}) : "log: " + FLogLine);
}

void TWalkReport::Status(const std::string& Text) {
  if (Text == FStatus)
    return;
  FStatus = Text;
  if (FForm == Terminal)
    Redraw();
  else
    Put(FForm == Json ? JsonLine("status", {{"text", ToQt(Text)}}) : "status: " + Text);
}

void TWalkReport::Saved(const std::string& Name, const std::string& Path) {
  ++FSaved;
  Put(FForm == Json ? JsonLine("saved", {{"name", ToQt(Name)}, {"path", ToQt(Path)}}) : "saved: " + Name);
}

void TWalkReport::Incomplete(const std::string& Name, const std::string& Why) {
  FIncomplete.push_back(Name);
  Put(FForm == Json ? JsonLine("incomplete", {{"name", ToQt(Name)}, {"why", ToQt(Why)}})
                    : "incomplete: " + Name + " (" + Why + ")");
}

void TWalkReport::Transfer(const TTransferFigures& Figures, bool Last) {
  FFigures = Figures;
  FFiguresKnown = true;
  if (FForm == Terminal) {
    Redraw();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!Last && FTransferTold && now - FLastTransfer < LinesInterval)
    return;
  FTransferTold = true;
  FLastTransfer = now;
  if (FForm == Lines) {
    Put("transfer: " + ProgressText());
    return;
  }
  QJsonObject object{{"file", ToQt(Figures.File)},
                     {"bytes", qint64(Figures.Bytes)},
                     {"speed", std::round(Figures.Speed)},
                     {"articles", qint64(Figures.Articles.Handled)},
                     {"articles_total", qint64(Figures.Articles.Total)}};
  if (Figures.SecondsLeft)
    object["seconds_left"] = std::round(*Figures.SecondsLeft);
  Put(JsonLine("transfer", object));
}

void TWalkReport::Error(const std::string& Text) {
  Put(FForm == Json ? JsonLine("error", {{"text", ToQt(Text)}}) : "error: " + Text);
}

void TWalkReport::Signal(const std::string& Text) {
  Put(FForm == Json ? JsonLine("signal", {{"text", ToQt(Text)}}) : "signal: " + Text);
}

void TWalkReport::End(const std::string& How, const std::string& Status, int ExitStatus) {
  FlushLog();
  if (FForm == Json) {
    QJsonArray incomplete;
    for (const std::string& name : FIncomplete)
      incomplete.append(ToQt(name));
    Put(JsonLine("end", {{"how", ToQt(How)},
                         {"status", ToQt(Status)},
                         {"exit", ExitStatus},
                         {"saved", FSaved},
                         {"incomplete", incomplete}}));
    return;
  }
  std::string summary =
      Status + " (" + std::to_string(FSaved) + (FSaved == 1 ? " file" : " files") + " saved";
  if (!FIncomplete.empty())
    summary += ", " + std::to_string(FIncomplete.size()) + " incomplete";
  summary += ")";
  if (FForm == Terminal) {
    // The last progress line stays, the end below it.
    if (std::exchange(FProgressShown, false))
      std::fputs("\n", FOut);
    Put(summary);
  } else {
    Put("end: " + How + ": " + summary);
  }
}

void TWalkReport::Put(const std::string& Line) {
  if (FForm == Terminal && FProgressShown)
    std::fputs("\r\x1b[K", FOut);
  std::fputs(Line.c_str(), FOut);
  std::fputs("\n", FOut);
  if (FForm == Terminal && FProgressShown)
    Redraw();
  std::fflush(FOut);
}

void TWalkReport::Redraw() {
  const std::string line = Fitted(ProgressText(), Columns(FOut) - 1);
  std::fputs(("\r" + line + "\x1b[K").c_str(), FOut);
  std::fflush(FOut);
  FProgressShown = true;
}

// "pic.jpg  12.3 MB  1.2 MB/s  1,234 of 5,678 articles  1 min 35 s left",
// led by the status before any file has come.
std::string TWalkReport::ProgressText() const {
  if (!FFiguresKnown || FFigures.File.empty())
    return FFiguresKnown ? FStatus + "  " + TTransferMeter::ArticlesText(FFigures.Articles) + " articles"
                         : FStatus;
  return FFigures.File + "  " + TTransferMeter::SizeText(double(FFigures.Bytes)) + "  " +
         TTransferMeter::SpeedText(FFigures.Speed) + "  " + TTransferMeter::ArticlesText(FFigures.Articles) +
         " articles  " + TTransferMeter::TimeLeftText(FFigures.SecondsLeft) + " left";
}

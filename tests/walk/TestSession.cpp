#include "tests/walk/TestSession.h"

#include "codec/YEnc.h"
#include "platform/FileOps.h"
#include "walk/ServerAddress.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

// What the window's log does with a line: past 200 lines it is cut back to
// 100, its first line kept; a line stops growing at 4096 bytes.
constexpr std::size_t LogLimit = 200, LogKeep = 100, LogLineLimit = 4096;

} // namespace

TTestSession::TTestSession() {
  OnLog = [this](TObject*, const std::string& text) {
    if (FMemo.size() > LogLimit)
      FMemo.erase(FMemo.begin() + 1, FMemo.end() - std::ptrdiff_t(LogKeep - 1));
    FMemo.push_back(text + " ");
  };
  OnLogAppend = [this](TObject*, const std::string& text) {
    if (FMemo.empty())
      FMemo.push_back(text + " ");
    else if (FMemo.back().size() < LogLineLimit)
      FMemo.back() += text + " ";
  };
  OnStatus = [this](TObject*, const std::string& text) { FPanels[0] = text; };
  OnCurrentArticle = [this](TObject*, std::int64_t n) { FPanels[1] = std::to_string(n); };
  OnLastArticle = [this](TObject*, std::int64_t n) { FPanels[2] = std::to_string(n); };
  OnDecodedCount = [this](TObject*, std::int64_t n) { FPanels[3] = std::to_string(n); };
  OnGroupProgress = [this](TObject*, std::int64_t perMille) { GroupProgressShown = int(perMille); };
  OnCaption = [this](TObject*, const std::string& text) { Caption = text; };
  OnFileSaved = [this](TObject*, const std::string& name) { FSaved.push_back(name); };
  OnIncompleteFile = [this](TObject*, const std::string& name, const std::string& why) {
    Incomplete.push_back(name + ": " + why);
  };
}

std::string TTestSession::Buttons() const {
  const TCommands& c = Commands();
  return std::string(c.Stop ? "X" : "-") + (c.After ? "A" : "-") + (c.Restart ? "R" : "-") +
         (c.Skip ? "S" : "-");
}

void SessionTest::SetUp() {
  CreateFolder(Folder);
  Child = std::make_unique<TTestSession>();
  Child->FSessionDir = Folder;
  Child->FDefExt = "mod";
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data)
    c = char(random());
  return data;
}

std::vector<std::string> UULines(const std::string& data) {
  auto put = [](unsigned v) { return char(v == 0 ? '`' : v + 32); };
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < data.size(); at += 45) {
    const std::string chunk = data.substr(at, 45) + std::string(2, '\0');
    const std::size_t n = std::min<std::size_t>(45, data.size() - at);
    std::string line(1, put(unsigned(n)));
    for (std::size_t i = 0; i < n; i += 3) {
      const unsigned b =
          (unsigned char)chunk[i] << 16 | (unsigned char)chunk[i + 1] << 8 | (unsigned char)chunk[i + 2];
      for (int shift = 18; shift >= 0; shift -= 6)
        line += put(b >> shift & 63);
    }
    lines.push_back(line);
  }
  lines.push_back("`");
  return lines;
}

std::vector<std::string> Base64Lines(const std::string& data) {
  const std::string text = QByteArray::fromStdString(data).toBase64().toStdString();
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size(); at += 76)
    lines.push_back(text.substr(at, 76));
  return lines;
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find("\r\n", at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::vector<std::vector<std::string>> YEncParts(const std::string& data, const std::string& name,
                                                std::size_t count) {
  const std::size_t step = (data.size() + count - 1) / count;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < count; ++i)
    sizes.push_back(std::min(step, data.size() - std::min(data.size(), i * step)));
  return YEncParts(data, name, sizes);
}

std::vector<std::vector<std::string>> YEncParts(const std::string& data, const std::string& name,
                                                const std::vector<std::size_t>& sizes) {
  std::vector<std::vector<std::string>> parts;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    TYEncPartInfo info;
    info.Name = name;
    info.FileSize = data.size();
    if (sizes.size() > 1) {
      info.Part = i + 1;
      info.Total = sizes.size();
      info.Offset = offset;
      info.FileCrc = Crc32(0, data.data(), data.size());
    }
    parts.push_back(CrLfLines(YEncEncodePart(data.substr(offset, sizes[i]), info)));
    offset += sizes[i];
  }
  return parts;
}

bool HaveTool(const std::string& tool) {
  if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0)
    return true;
  const char* ci = std::getenv("CI");
  if (ci && std::string(ci) == "true")
    ADD_FAILURE() << tool << " is not installed";
  return false;
}

std::string ServerTest::Folder() const {
  return Values.path + ServerFolderName(Values.server) + "/" + Values.group + "/";
}

void ServerTest::Store(std::int64_t position) {
  CreateFolder(Folder());
  AppendText(Folder() + "dati.ini", Stored(position));
}

void WalkTest::Open(const std::string& caFile) {
  Child = std::make_unique<TTestSession>();
  Ended = false;
  Child->Nntp.OnRequestDone = [this, done = Child->Nntp.OnRequestDone](TObject* sender, TNntpRequest type,
                                                                       std::uint16_t error) {
    done(sender, type, error);
    const std::string& caption = Child->Caption;
    Ended = (type == nntpQuit || type == nntpAbort) &&
            (caption.starts_with("Download Done") || caption.starts_with("Downloading Interrupted"));
  };
  // A walk over the fetcher's connections has no answer of its own to end with.
  Child->OnCaption = [this, shown = Child->OnCaption](TObject* sender, const std::string& caption) {
    const bool changed = caption != Child->Caption;
    shown(sender, caption);
    if (changed)
      Ended = Child->Nntp.State() == nntpNotConnected && !Child->FWalk.Running() &&
              (caption.starts_with("Download Done") || caption.starts_with("Downloading Interrupted"));
  };
  Child->Timer1.setInterval(1);
  Child->FReconnectDelay = std::chrono::milliseconds(1);
  // The start-up keeps what the socket was given.
  Child->Nntp.WSocket().SetTlsCAFile(caFile);
  if (BeforeStart)
    BeforeStart(*Child);
  Guarded([&] { Child->Start(); });
}

void WalkTest::OnLine(const std::string& line, std::function<void()> action) {
  Child->Nntp.OnMessageLine = [this, scan = Child->Nntp.OnMessageLine, line, action](TObject* sender) {
    scan(sender);
    if (Child->Nntp.LastResponse() == line)
      action();
  };
  Child->FWalk.OnArticleLine = [scan = Child->FWalk.OnArticleLine, line,
                                action](TObject* sender, std::int64_t n, std::string_view text) {
    scan(sender, n, text);
    if (text == line)
      action();
  };
  // Lines taken many at a time pass no hook of their own: one by one, each comes here.
  Child->FWalk.OnArticleLines = nullptr;
}

std::string ServerTest::Captioned(const std::string& Text) const {
  return Text + " \u2014 " + Values.group + " on " + ServerShownName(Values.server);
}

long Count(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != l.npos; });
}

long WalkTest::Mentions(const std::string& text) const { return Count(Child->MemoLines(), text); }

void WalkTest::ByOverview(const std::string& max, const std::string& connections) {
  Values.min = "20";
  Values.max = max;
  Values.connections = connections;
  Values.pacing = "0";
  Server.OfferOverview();
}

void WalkTest::CloseExpecting(std::int64_t stored) {
  Child->FormClose();
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(stored));
}

TNewsArticle Post(std::int64_t n, int lines, std::vector<std::string> body, int fromConnection) {
  return {n, {"Subject: post " + std::to_string(n), "Lines: " + std::to_string(lines)}, body, fromConnection};
}

TNewsArticle SinglePartPost(std::int64_t n, int lines, const std::string& name, const std::string& data) {
  TNewsArticle post = Post(n, lines, Base64Lines(data));
  post.Header.insert(post.Header.end(), {"Content-Type: application/octet-stream; name=\"" + name + "\"",
                                         "Content-Transfer-Encoding: base64"});
  return post;
}

std::vector<std::string> UU(const std::string& name, const std::string& data, std::vector<std::string> end) {
  return Join({{"begin 644 " + name}, UULines(data), end});
}

std::string Stored(std::int64_t position) { return "[READED]\r\nLAST=" + std::to_string(position) + "\r\n"; }

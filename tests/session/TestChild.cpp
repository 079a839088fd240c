#include "tests/session/TestChild.h"
#include "tests/support/TestApplication.h"

#include "codec/YEnc.h"
#include "platform/FileOps.h"
#include "walk/ServerAddress.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>

#include <chrono>
#include <cstdlib>

std::vector<std::string> TTestChild::MemoLines() const {
  FlushUpdates();
  std::vector<std::string> lines;
  if (!Memo1->document()->isEmpty())
    for (const QString& line : Memo1->toPlainText().split('\n'))
      lines.push_back(line.toStdString());
  return lines;
}

std::vector<std::string> TTestChild::Saved() const {
  std::vector<std::string> names;
  for (int i = 0; i < LBSaved->count(); ++i)
    names.push_back(LBSaved->item(i)->text().toStdString());
  return names;
}

namespace {

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QApplication>);

} // namespace

void SessionTest::SetUp() {
  CreateFolder(Folder);
  Child = std::make_unique<TTestChild>();
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
  std::vector<std::vector<std::string>> parts;
  const std::size_t step = (data.size() + count - 1) / count;
  for (std::size_t i = 0; i < count; ++i) {
    TYEncPartInfo info;
    info.Name = name;
    info.FileSize = data.size();
    if (count > 1) {
      info.Part = i + 1;
      info.Total = count;
      info.Offset = i * step;
      info.FileCrc = Crc32(0, data.data(), data.size());
    }
    parts.push_back(CrLfLines(YEncEncodePart(data.substr(i * step, step), info)));
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

std::string WalkTest::Folder() const {
  return Values.path + ServerFolderName(Values.server) + "/" + Values.group + "/";
}

void WalkTest::Store(std::int64_t position) {
  CreateFolder(Folder());
  AppendText(Folder() + "dati.ini", Stored(position));
}

void WalkTest::Open(const std::string& caFile) {
  Child = std::make_unique<TTestChild>();
  Ended = false;
  Child->Nntp.OnRequestDone = [this, done = Child->Nntp.OnRequestDone](TObject* sender, TNntpRequest type,
                                                                       std::uint16_t error) {
    done(sender, type, error);
    const QString caption = Child->windowTitle();
    Ended = (type == nntpQuit || type == nntpAbort) &&
            (caption.startsWith("Download Done") || caption.startsWith("Downloading Interrupted"));
  };
  // A walk over the fetcher's connections has no answer of its own to end with.
  QObject::connect(Child.get(), &QWidget::windowTitleChanged, [this](const QString& caption) {
    Ended = Child->Nntp.State() == nntpNotConnected && !Child->FWalk.Running() &&
            (caption.startsWith("Download Done") || caption.startsWith("Downloading Interrupted"));
  });
  Child->Timer1->setInterval(1);
  Child->FReconnectDelay = std::chrono::milliseconds(1);
  // The start-up keeps what the socket was given.
  Child->Nntp.WSocket().SetTlsCAFile(caFile);
  Child->show();
  Guarded([&] { Child->FormCreate(Child.get()); });
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
}

std::string WalkTest::Captioned(const std::string& Text) const {
  return Text + " \u2014 " + Values.group + " on " + ServerShownName(Values.server);
}

void WalkTest::CloseExpecting(std::int64_t stored) {
  Child->close();
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

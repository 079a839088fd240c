// Feeds 100 MB of article body lines (uuencoded and MIME base64 attachments
// between text) through a walk's scanner, with part files written
// and decoded in a temporary session folder, and prints MB/s of body text.
// Then the same for yEnc: files of 10 MB posted in parts of 750 KB, one part
// an article, put together in the folder; it prints MB/s of body text and of
// files decoded.
//
//   scanner_bench
#include "codec/YEnc.h"
#include "decode/ArticleScanner.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t Target = 100u << 20;
constexpr std::size_t AttachmentSize = 400 * 1024;
constexpr std::size_t YEncTarget = 400u << 20;
constexpr std::size_t YEncFileSize = 10u << 20;
constexpr std::size_t YEncPartSize = 750 * 1024;

// The scanner as a walk drives it, one line at a time; what it says goes
// nowhere.
class TBenchScanner : public TArticleScanner {
public:
  void Body(const std::vector<std::string>& lines) {
    FArticleLines = int(lines.size());
    StartBody();
    for (const std::string& line : lines)
      BodyLine(line);
  }
  void SetSessionDir(const std::string& folder) {
    FSessionDir = folder;
    FDefExt = "bin";
  }
  int Decoded() const { return FDecodedCount; }
  // One article as the controller fetches it, its end reported.
  void Article(const std::vector<std::string>& lines) {
    Body(lines);
    EndOfBody(true);
  }
};

std::string RandomBytes(std::size_t size, std::mt19937& random) {
  std::string data(size, '\0');
  for (char& c : data)
    c = char(random());
  return data;
}

void AddUU(std::vector<std::string>& body, const std::string& data, const std::string& name) {
  auto put = [](unsigned v) { return char(v == 0 ? '`' : v + 32); };
  body.push_back("begin 644 " + name);
  for (std::size_t at = 0; at < data.size(); at += 45) {
    const std::size_t n = std::min<std::size_t>(45, data.size() - at);
    const std::string chunk = data.substr(at, n) + std::string(2, '\0');
    std::string line(1, put(unsigned(n)));
    for (std::size_t i = 0; i < n; i += 3) {
      const unsigned b = unsigned((unsigned char)chunk[i]) << 16 |
                         unsigned((unsigned char)chunk[i + 1]) << 8 | (unsigned char)chunk[i + 2];
      for (int shift = 18; shift >= 0; shift -= 6)
        line += put(b >> shift & 63);
    }
    body.push_back(line);
  }
  body.insert(body.end(), {"`", "end"});
}

void AddMime(std::vector<std::string>& body, const std::string& data, const std::string& name) {
  body.insert(body.end(),
              {"--frontier", "Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64",
               "Content-Disposition: inline; filename=\"" + name + "\"", ""});
  const std::string text = QByteArray::fromStdString(data).toBase64().toStdString();
  for (std::size_t at = 0; at < text.size(); at += 76)
    body.push_back(text.substr(at, 76));
  body.insert(body.end(), {"", "--frontier--"});
}

// One article of about 1.1 MB: text, a uuencoded file, text, a MIME part.
std::vector<std::string> Article(int n, std::mt19937& random) {
  std::vector<std::string> body;
  for (int i = 0; i < 20; ++i)
    body.push_back("Some words about the pictures below, line " + std::to_string(i) + ".");
  AddUU(body, RandomBytes(AttachmentSize, random), "pic" + std::to_string(n) + ".jpg");
  for (int i = 0; i < 10; ++i)
    body.push_back("> quoted text of an earlier article, more or less this long");
  AddMime(body, RandomBytes(AttachmentSize, random), "doc" + std::to_string(n) + ".pdf");
  body.push_back("-- ");
  body.push_back("a signature");
  return body;
}

// The parts of one file, each an article with a line of text around it.
std::vector<std::vector<std::string>> YEncArticles(const std::string& name, std::mt19937& random) {
  const std::string data = RandomBytes(YEncFileSize, random);
  const std::uint32_t crc = Crc32(0, data.data(), data.size());
  const std::size_t total = (data.size() + YEncPartSize - 1) / YEncPartSize;
  std::vector<std::vector<std::string>> articles;
  for (std::size_t i = 0; i < total; ++i) {
    TYEncPartInfo info;
    info.Name = name;
    info.FileSize = data.size();
    info.Offset = i * YEncPartSize;
    info.Part = i + 1;
    info.Total = total;
    info.FileCrc = crc;
    const std::string text = YEncEncodePart(data.substr(info.Offset, YEncPartSize), info);
    std::vector<std::string> body{"Posted by the bench."};
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find("\r\n", at);
      body.push_back(text.substr(at, end - at));
      at = end + 2;
    }
    articles.push_back(std::move(body));
  }
  return articles;
}

std::size_t Bytes(const std::vector<std::string>& body) {
  std::size_t bytes = 0;
  for (const std::string& line : body)
    bytes += line.size() + 2; // with its CR LF, as on the wire
  return bytes;
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir folder;
  TBenchScanner child;
  child.SetSessionDir(folder.path().toStdString() + "/");

  std::mt19937 random(1);
  std::vector<std::vector<std::string>> articles;
  for (int n = 0; n < 8; ++n)
    articles.push_back(Article(n, random));

  std::size_t fed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; fed < Target; ++i) {
    const auto& body = articles[i % articles.size()];
    child.Body(body);
    fed += Bytes(body);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("scanner: %.1f MB of body text, %d part files decoded, %.3f s, %.1f MB/s\n", double(fed) / 1e6,
              child.Decoded(), seconds, double(fed) / 1e6 / seconds);

  // yEnc: parts in reverse order within each file, so the .partial fills
  // from its end; the same names again make the same files.
  std::vector<std::vector<std::string>> posts;
  for (int n = 0; n < 4; ++n) {
    auto parts = YEncArticles("file" + std::to_string(n) + ".rar", random);
    posts.insert(posts.end(), parts.rbegin(), parts.rend());
  }
  const int before = child.Decoded();
  fed = 0;
  std::size_t files = 0;
  const auto yStart = std::chrono::steady_clock::now();
  for (std::size_t i = 0; fed < YEncTarget || i % posts.size() != 0; ++i) {
    child.Article(posts[i % posts.size()]);
    fed += Bytes(posts[i % posts.size()]);
  }
  files = std::size_t(child.Decoded() - before);
  const double ySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - yStart).count();
  std::printf(
      "scanner yEnc: %.1f MB of body text, %zu files of %zu parts, %.3f s, %.1f MB/s of text, %.1f MB/s "
      "decoded\n",
      double(fed) / 1e6, files, posts.size() / 4, ySeconds, double(fed) / 1e6 / ySeconds,
      double(files * YEncFileSize) / 1e6 / ySeconds);
  return 0;
}

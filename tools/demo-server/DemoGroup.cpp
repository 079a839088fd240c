#include "tools/demo-server/DemoGroup.h"

#include <QDateTime>

#include <sstream>

namespace {

using TLines = std::vector<std::string>;

// Every line of a text, without line ends.
TLines Lines(const std::string& text) {
  TLines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

void Add(TLines& to, const TLines& lines) { to.insert(to.end(), lines.begin(), lines.end()); }

// The 24 bits of the group of three bytes at i, missing bytes taken as zero.
unsigned Group(const std::string& data, std::size_t i) {
  unsigned bits = 0;
  for (std::size_t k = 0; k < 3; ++k)
    bits = bits << 8 | (i + k < data.size() ? static_cast<unsigned char>(data[i + k]) : 0u);
  return bits;
}

// Lines of 45 bytes as uuencode writes them: a length character, then four
// characters for every three bytes; zero is "`". The last line is "`".
TLines UUEncode(const std::string& data) {
  auto c = [](unsigned v) { return char(v == 0 ? '`' : v + 32); };
  TLines lines;
  for (std::size_t from = 0;; from += 45) {
    const std::size_t n = from < data.size() ? std::min<std::size_t>(45, data.size() - from) : 0;
    std::string line(1, c(unsigned(n)));
    for (std::size_t i = from; i < from + n; i += 3) {
      const unsigned bits = Group(data, i);
      for (int shift = 18; shift >= 0; shift -= 6)
        line += c(bits >> shift & 63);
    }
    lines.push_back(line);
    if (n == 0)
      return lines;
  }
}

// Base64 with "=" padding, lineBytes bytes (a multiple of 3) to a line.
TLines Base64(const std::string& data, std::size_t lineBytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  TLines lines;
  for (std::size_t from = 0; from < data.size(); from += lineBytes) {
    const std::size_t to = std::min(data.size(), from + lineBytes);
    std::string line;
    for (std::size_t i = from; i < to; i += 3) {
      const unsigned bits = Group(data, i);
      const std::size_t bytes = std::min<std::size_t>(3, to - i);
      for (std::size_t k = 0; k < 4; ++k)
        line += k <= bytes ? alphabet[bits >> (18 - 6 * k) & 63] : '=';
    }
    lines.push_back(line);
  }
  return lines;
}

const char* const Welcome = R"(Welcome to vostel.demo!

This group is served by the small news server that the run command starts
beside Vostel on 127.0.0.1:11119. It holds five articles:

  1  this note
  2  vostel.png, a picture, uuencoded
  3  vostel-demo.tar, a small archive, in a begin-base64 block
  4  README.txt and badge.png, as a MIME multipart article
  5  a note on reading a real news server

Vostel reads the header of every article and fetches only the bodies whose
Lines: count lies between Min Lines and Max Lines (100 and 50000 unless you
change them). This note has fewer lines, so the decode window skips it, and
the next note too. The three articles in between carry the attachments;
their files appear in the list of saved files and in the download folder.
)";

const char* const RealServer = R"(Reading a real news server

Press Configure, add your provider's news server to the server list, as a
host name (news.example.com) or with a port (news.example.com:119), add the
groups you read, and pick a download folder. Then choose the server and a
group in the main window and press Open.

Each decode window starts where the last one on the same server and group
stopped; the position is kept in dati.ini in the group's download folder.
)";

const char* const Readme = R"(Vostel demo group
=================

This text file came as a MIME attachment: a base64 part of a multipart
article, named by its Content-Disposition header. Vostel cut it out of
the article, wrote it into a part file and decoded it into this file.

What the group holds:

  vostel.png       a picture, uuencoded ("begin 644 vostel.png" ... "end")
  vostel-demo.tar  two short text files in a tar archive, in a base64
                   block ("begin-base64 644 vostel-demo.tar" ... "====")
  README.txt       this file, a base64 MIME part
  badge.png        a smaller picture, a base64 MIME part

and two notes shorter than 100 lines, which the usual range skips. To
fetch them as well, set Min Lines to 1, delete dati.ini in the group's
download folder (it remembers where the last walk stopped) and open the
group again.

Everything here is made when the demo server starts, so the group looks
the same on every run.
)";

const char* const ArchiveHello = R"(Hello from inside vostel-demo.tar.

The archive came as a begin-base64 block that ends with a line of four
equals signs, the way "uuencode -m" writes it. List it with

    tar tvf vostel-demo.tar
)";

const char* const ArchiveRange = R"(Why some articles are skipped

A decode window fetches only the bodies of articles whose Lines: header
lies within Min Lines and Max Lines, both included. Binary postings are
long, chatter is short: the range keeps the one and passes over the other
without downloading it.
)";

class TBuilder {
public:
  explicit TBuilder(TDemoGroup& group)
      : FGroup(group), FDate(QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date).toStdString()) {}

  void Post(const std::string& subject, const TLines& body, const TLines& extraHeader = {}) {
    TNewsArticle a;
    a.Number = std::int64_t(FGroup.Articles.size()) + 1;
    a.Header = {"Path: demo.vostel!not-for-mail",
                "From: Vostel demo <demo@vostel.invalid>",
                std::string("Newsgroups: ") + DemoGroupName,
                "Subject: " + subject,
                "Date: " + FDate,
                "Message-ID: <" + std::to_string(a.Number) + ".demo@vostel.invalid>",
                "Lines: " + std::to_string(body.size())};
    Add(a.Header, extraHeader);
    a.Body = body;
    FGroup.Articles.push_back(std::move(a));
  }

  TDemoFile File(std::string name, std::string data) {
    FGroup.Files.push_back({std::move(name), std::move(data)});
    return FGroup.Files.back();
  }

private:
  TDemoGroup& FGroup;
  std::string FDate;
};

// One base64 part of a multipart body, the transfer encoding before the
// file name, as mail programs write it.
TLines MimePart(const std::string& boundary, const std::string& type, const TDemoFile& file) {
  TLines part = {"--" + boundary, "Content-Type: " + type + "; name=\"" + file.Name + "\"",
                 "Content-Transfer-Encoding: base64",
                 "Content-Disposition: inline; filename=\"" + file.Name + "\"", ""};
  Add(part, Base64(file.Data, 57));
  part.push_back("");
  return part;
}

} // namespace

TDemoGroup MakeDemoGroup() {
  TDemoGroup group;
  TBuilder b(group);

  b.Post("Welcome to vostel.demo - start here", Lines(Welcome));

  const TDemoFile picture = b.File("vostel.png", DemoPicture(480, 270, "a picture from the demo group"));
  TLines body = {"The demo picture, uuencoded.", "", "begin 644 " + picture.Name};
  Add(body, UUEncode(picture.Data));
  Add(body, {"end", ""});
  b.Post("vostel.png - the demo picture (uuencoded)", body);

  const TDemoFile archive =
      b.File("vostel-demo.tar",
             TarArchive({{"vostel-demo/hello.txt", ArchiveHello}, {"vostel-demo/range.txt", ArchiveRange}}));
  body = {"Two short text files in a tar archive, base64 as uuencode -m writes it.", "",
          "begin-base64 644 " + archive.Name};
  Add(body, Base64(archive.Data, 45));
  Add(body, {"====", ""});
  b.Post("vostel-demo.tar - a small archive (base64)", body);

  const std::string boundary = "=_vostel_demo_boundary";
  body = {"This is a multi-part message in MIME format.",
          "",
          "--" + boundary,
          "Content-Type: text/plain; charset=us-ascii",
          "",
          "A text file and a second picture, each a base64 MIME part.",
          ""};
  Add(body, MimePart(boundary, "text/plain", b.File("README.txt", Readme)));
  Add(body, MimePart(boundary, "image/png", b.File("badge.png", DemoPicture(240, 150, "MIME attachment"))));
  body.push_back("--" + boundary + "--");
  b.Post("README.txt and badge.png (MIME)", body,
         {"MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"" + boundary + "\""});

  b.Post("Reading a real news server", Lines(RealServer));
  return group;
}

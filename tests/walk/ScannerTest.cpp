#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <unistd.h>

class Scanner : public SessionTest {
protected:
  void SetUp() override {
    SessionTest::SetUp();
    Child->FArticleCurrent = 4711;
    Child->Log("Request Body 4711");
  }
  // Opens a part file that the decode stage leaves on disk: ".." is no name
  // a file can be stored under.
  void OpenKeptPartFile() { Child->Body({Kept}); }
  std::string Part(int n, const char* ext = ".UUE") const {
    return ReadFile(Folder + std::to_string(n) + ext);
  }
  // Everything in the session folder, hidden files included.
  QStringList AllFiles() const {
    return QDir(QString::fromStdString(Folder)).entryList(QDir::Files | QDir::Hidden);
  }

  const std::string Data = RandomBytes(4000, 11);
  const std::string Kept = "begin 000 ..";
};

TEST_F(Scanner, LinesHeaderSetsTheCountAndIsAppendedToTheLog) {
  Child->FNextStep = stepHead;
  for (const char* ignored : {"X-Lines: 9", " Lines: 9", "Content-Transfer-Encoding: base64"})
    Child->ScanLine(ignored);
  EXPECT_EQ(Child->FArticleLines, 0);
  Child->ScanLine("Lines: 250");
  EXPECT_EQ(Child->FArticleLines, 250);
  EXPECT_EQ(Child->MemoLines().back(), "Request Body 4711 Lines: 250 ");
  Child->ScanLine("LINES:251");
  EXPECT_EQ(Child->FArticleLines, 251);
  Child->ScanLine("lines:   252");
  EXPECT_EQ(Child->FArticleLines, 252);
}

// Ends in one log line; the count keeps its value and the next line counts.
TEST_F(Scanner, BadLinesValueIsLoggedAndTheWalkGoesOn) {
  Child->FNextStep = stepHead;
  Child->ScanLine("Lines: 250 ");
  EXPECT_EQ(Child->FArticleLines, 0);
  EXPECT_EQ(Child->MemoLines(), (std::vector<std::string>{"Request Body 4711 Lines: 250  ",
                                                          "' 250 ' is not a valid integer value "}));
  Child->ScanLine("Lines: 40");
  EXPECT_EQ(Child->FArticleLines, 40);
}

TEST_F(Scanner, LinesOutsideHeadAndBodyAreIgnored) {
  Child->FNextStep = stepReconnect;
  Child->ScanLine("Lines: 5");
  Child->ScanLine("begin 644 x.bin");
  EXPECT_EQ(Child->FArticleLines, 0);
  EXPECT_EQ(Child->FPartFileCount, 0);
}

TEST_F(Scanner, UuencodedFileInOneBodyIsDecoded) {
  Child->Body(Join({{"Here it is:", "begin 644 pic.jpg"}, UULines(Data), {"end", "-- ", "signature"}}));
  EXPECT_EQ(ReadFile(Folder + "pic.jpg"), Data);
  EXPECT_TRUE(Child->FDataFound);
  EXPECT_EQ(Child->FPartFile, nullptr);
  EXPECT_FALSE(FileExists(Folder + "1.UUE"));
  EXPECT_EQ(Child->MemoLines().back(), "Request Body 4711 begin 644 pic.jpg ");
}

TEST_F(Scanner, FileOverThreeArticlesIsGatheredAndDecodedOnce) {
  const auto lines = UULines(Data);
  const auto third = lines.begin() + long(lines.size() / 3);
  Child->FMaxWaitingLines = 5; // the later parts have no begin line, yet carry data
  Child->Body(Join({{"part 1 of 3", "begin 644 big.bin"}, {lines.begin(), third}}));
  EXPECT_TRUE(Child->FDataFound);
  Child->Body({third, third + long(lines.size() / 3)});
  EXPECT_TRUE(Child->FDataFound);
  EXPECT_FALSE(Child->FInternalAbort);
  EXPECT_NE(Child->FPartFile, nullptr);
  Child->Body(Join({{third + long(lines.size() / 3), lines.end()}, {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "big.bin"), Data);
  EXPECT_EQ(Child->FDecodedCount, 1);
  EXPECT_EQ(Child->FPartFileCount, 1);
}

TEST_F(Scanner, MimeBase64PartsAreNamedFromTheirHeaders) {
  const auto data = Base64Lines(Data);
  Child->Body(Join(
      {{"This is a multi-part message in MIME format.", "--b", "Content-Type: text/plain", "",
        "Content-Transfer-Encoding: base64 ", "--b", "Content-Transfer-Encoding: base64",
        "Content-Disposition: inline; filename=\"photo.jpg\"", ""},
       data,
       {"", "--b", "Content-Disposition: inline; filename=\"other.jpg\"", "Content-Transfer-Encoding: base64",
        ""},
       data,
       {"--b", "Content-Transfer-Encoding: BASE64", "Content-Disposition: attachment; filename=\"third.jpg\"",
        " "},
       data,
       {"--b", "Content-Transfer-Encoding: base64", "Content-Disposition: inline; filename=bare.jpg", ""},
       data,
       {"--b", "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment; size=4000; filename=\"semi;colon \\\"q\\\".bin\"; x=y", ""},
       data,
       {"--b", "Content-Transfer-Encoding: base64", "Content-Type: image/png; name=typed.png", ""},
       data,
       {"--b--"}}));
  // An attachment keeps its name like an inline part.
  const std::vector<std::string> names = {"photo.jpg", "47112.mod",        "third.jpg",
                                          "bare.jpg",  "semi;colon q.bin", "typed.png"};
  EXPECT_EQ(Child->Saved(), names);
  for (const std::string& name : names)
    EXPECT_EQ(ReadFile(Folder + name), Data) << name;
  EXPECT_EQ(Child->MemoLines().back(),
            "Request Body 4711 photo.jpg Mime base64 Mime base64 third.jpg Mime base64 "
            "bare.jpg Mime base64 semi;colon \"q\".bin Mime base64 typed.png Mime base64 ");
}

TEST_F(Scanner, TextOnlyBodyStartsNothing) {
  Child->Body({"Hello", "Content-Transfer-Encoding: quoted-printable", "", "begin 64", "bye"});
  EXPECT_EQ(Child->FPartFileCount, 0);
  EXPECT_FALSE(Child->FDataFound);
}

TEST_F(Scanner, BlockStartsByKindAndMode) {
  // Each start keeps the unfinished block before it; only kind 3 reads a mode.
  const std::vector<std::tuple<const char*, int, int>> starts = {
      {"begin 666 x", 3, 666},  {"BEGIN 644 X", 1, 666}, {"begin  755 x", 3, 755},
      {"begin 0644 x", 1, 755}, {"begin 64", 1, 755},    {"begin-base64 644 a.bin", 2, 755}};
  for (const auto& [line, kind, mode] : starts) {
    Child->Body({line});
    EXPECT_EQ(Child->FPartKind, kind) << line;
    EXPECT_EQ(Child->FFileMode, mode) << line;
  }
  EXPECT_EQ(Child->FPartFileCount, 5);
  Child->Body({"QUJD", "REVG", "end"}); // base64 lines are joined
  EXPECT_EQ(ReadFile(Folder + "a.bin"), "ABCDEF");
}

// Without a mode the line is text: nothing is started, finished or logged.
TEST_F(Scanner, BeginLineWithoutAModeIsText) {
  OpenKeptPartFile();
  const auto memo = Child->MemoLines();
  const std::vector<std::string> text = {"begin abc x",
                                         "begin the upload tonight",
                                         "begin 2nd half of the post tomorrow",
                                         "begin 6x4 bad2.bin",
                                         "begin 755x",
                                         "begin 644x y"};
  Child->Body(text);
  EXPECT_EQ(Child->MemoLines(), memo);
  EXPECT_EQ(Child->FPartFileCount, 1);
  Child->Body({"end"});
  std::string copied = Kept + "\r\n";
  for (const std::string& line : text)
    copied += line + "\r\n";
  EXPECT_EQ(Part(1), copied + "end\r\n");
}

// The unfinished file is kept as it is, undecoded, with one log line; the new
// block goes into a part file of its own.
TEST_F(Scanner, BeginLineWhileAPartFileIsOpenKeepsItAndStartsANewOne) {
  OpenKeptPartFile();
  Child->Body({"data", "begin 644 pic.jpg"});
  EXPECT_EQ(Part(1), Kept + "\r\ndata\r\n");
  EXPECT_EQ(Child->FPartFileCount, 2);
  EXPECT_EQ(Child->FPartKind, 1);
  EXPECT_EQ(Child->MemoLines(), (std::vector<std::string>{"Request Body 4711 " + Kept + " begin 644 pic.jpg ",
                                                          "Unfinished part file kept 1.UUE "}));
  EXPECT_EQ(Child->FDecodedCount, 0);
}

TEST_F(Scanner, UuencodeBlocksEndOnEndAndDashLinesWithCase) {
  for (const char* line : {"end", "endless", "-- ", "--boundary"}) {
    OpenKeptPartFile();
    Child->Body({line});
    EXPECT_EQ(Child->FPartFile, nullptr) << line;
    EXPECT_EQ(Child->FPartKind, 0);
    EXPECT_EQ(Part(Child->FPartFileCount), Kept + "\r\n" + line + "\r\n");
  }
  Child->Body({"end"}); // nothing open: nothing happens
  OpenKeptPartFile();
  Child->Body({"End", "e", "--"});
  EXPECT_NE(Child->FPartFile, nullptr);
}

TEST_F(Scanner, Base64DataLineBeginningWithEndDoesNotEndTheBlock) {
  // Bytes 7A 77 40 encode as "endA": put them at the start of line 3.
  std::string data = Data;
  data.replace(2 * 57, 3, "\x7A\x77\x40");
  const auto lines = Base64Lines(data);
  ASSERT_EQ(lines[2].substr(0, 3), "end");
  Child->Body(Join({{"begin-base64 644 first.bin"}, lines, {"end  "}}));
  EXPECT_EQ(ReadFile(Folder + "first.bin"), data);
  // GNU uuencode -m closes with "====".
  Child->Body(Join({{"begin-base64 644 second.bin"}, Base64Lines(Data), {"====", "after"}}));
  EXPECT_EQ(ReadFile(Folder + "second.bin"), Data);
  EXPECT_EQ(Child->FPartFile, nullptr);
  // Finished from outside (the stop-after command): the trailer gets its own line.
  Child->Body(Join({{"begin-base64 644 third.bin"}, Base64Lines(Data)}));
  Child->FinishPartFile(true);
  EXPECT_EQ(ReadFile(Folder + "third.bin"), Data);
}

TEST_F(Scanner, WaitingLimitAbortsOnTheFirstLineOverIt) {
  Child->FMaxWaitingLines = 50;
  Child->FArticleLines = 100; // a line per pixel or more: every line shows
  std::vector<std::string> lines(50, "text");
  lines.push_back("begin 644 late.bin");
  Child->Body(lines);
  EXPECT_TRUE(Child->FInternalAbort);
  EXPECT_EQ(Child->MemoLines().back(), "DOWNLOAD ABORTED, MAX WAITING LINES ");
  EXPECT_EQ(Child->BodyLines(), 50);
  EXPECT_EQ(Child->FPartFileCount, 0); // the 51st line was not examined

  // A body that goes on with an open part file carries data from its first line.
  OpenKeptPartFile();
  Child->FInternalAbort = false;
  Child->Body(std::vector<std::string>(60, "text"));
  EXPECT_FALSE(Child->FInternalAbort);
  EXPECT_TRUE(Child->FDataFound);

  Child->FInternalAbort = false;
  Child->FMaxWaitingLines = 0;
  Child->Body(std::vector<std::string>(500, "text"));
  EXPECT_FALSE(Child->FInternalAbort);
  Child->FBodyLines = INT32_MAX; // an endless body: the count stops at the top
  Child->ScanLine("text");
  EXPECT_EQ(Child->FBodyLines, INT32_MAX);
}

// Ends in one log line; the lines that follow go nowhere until the next block.
TEST_F(Scanner, PartFileThatCannotBeCreatedIsLoggedAndSkipped) {
  const std::string folder = Folder.substr(0, Folder.size() - 1), away = folder + "-away";
  Child->Body(Join({{"begin 644 a.bin"}, UULines(Data)}));
  std::filesystem::rename(folder, away); // the session folder is gone meanwhile
  Child->Body(Join({{"Content-Transfer-Encoding: base64", ""}, Base64Lines(Data)}));
  EXPECT_TRUE(Child->Saved().empty()); // the open one is kept, unfinished
  EXPECT_EQ(Child->MemoLines(),
            (std::vector<std::string>{"Request Body 4711 begin 644 a.bin Mime base64 ",
                                      "Unfinished part file kept 1.UUE ", "Cannot create file 2.B64 "}));
  EXPECT_EQ(Child->FPartFile, nullptr);
  EXPECT_EQ(Child->FPartKind, 0);
  EXPECT_EQ(Child->FPartFileCount, 2);
  Child->Body(Join({{"begin 644 c.bin"}, UULines(Data)}));
  EXPECT_EQ(Child->MemoLines().back(), "Cannot create file 3.UUE ");
  EXPECT_EQ(Child->FPartFile, nullptr);
  std::filesystem::rename(away, folder);
  Child->Body(Join({{"begin 644 b.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "b.bin"), Data);
  EXPECT_EQ(Child->FPartFileCount, 4);
  EXPECT_TRUE(FileExists(Folder + "1.UUE"));
}

// A body far past its Lines: (four times and 1,000 lines more) and a part
// file that would grow past its limit each end in one log line: the part
// file stays as far as it got, undecoded, and the rest of the body is
// passed over. An article without Lines: has no line bound. The next body
// is read as usual.
TEST_F(Scanner, BodyFarPastItsLinesAndPartFilePastItsLimitAreCutOff) {
  const auto lines = UULines(RandomBytes(60000, 5)); // 1,334 lines
  Child->FArticleLines = 10;
  Child->Body(Join({{"begin 644 big.bin"}, lines, {"end", "begin 644 late.bin"}}));
  Child->FArticleLines = 0;
  Child->FPartFileLimit = 5000;
  Child->Body(Join({{"begin 644 wide.bin"}, lines, {"end"}}));
  EXPECT_EQ(Child->FPartFile, nullptr);
  Child->FPartFileLimit = std::int64_t(8) << 30;
  Child->Body(UU("next.bin", Data));
  EXPECT_TRUE(CrLfLines(Part(1)) == Join({{"begin 644 big.bin"}, {lines.begin(), lines.begin() + 1039}}));
  EXPECT_LE(Part(2).size(), 5000u);
  EXPECT_EQ(Part(2).substr(0, 19), "begin 644 wide.bin\r");
  EXPECT_EQ(Child->Saved(), std::vector<std::string>{"next.bin"});
  EXPECT_EQ(
      Child->MemoLines(),
      (std::vector<std::string>{
          "Request Body 4711 begin 644 big.bin ",
          "Body cut off past 1040 lines (Lines: 10), part file 1.UUE kept undecoded begin 644 wide.bin ",
          "Part file 2.UUE cut off at 5000 bytes, kept undecoded begin 644 next.bin "}));
}

// A disk that fills (the file size limit stands in for it) ends the part
// file being written with one log line, kept as far as it got; the file
// stored before stays whole, and nothing of the decode is left behind.
TEST_F(Scanner, FullDiskIsReportedOnceAndWhatWasStoredStays) {
  Child->Body(UU("first.bin", Data));
  rlimit saved{}, full{200000, RLIM_INFINITY}; // writes past it fail with EFBIG
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &full);
  Child->Body(UU("second.bin", RandomBytes(300000, 6)));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(ReadFile(Folder + "first.bin"), Data);
  EXPECT_EQ(Child->Saved(), std::vector<std::string>{"first.bin"});
  EXPECT_EQ(Child->MemoLines().back(), "Cannot write to 2.UUE: File too large ");
  EXPECT_EQ(AllFiles(), (QStringList{"2.UUE", "first.bin"}));
  EXPECT_EQ(Part(2).size(), 200000u);
}

// X while a block is being decoded deletes its part file, a closing window
// leaves it unfinished; neither leaves what was decoded so far.
TEST_F(Scanner, StopOrCloseWhileAFileIsDecodedLeavesNothingHalfDone) {
  const auto lines = UULines(RandomBytes(1000000, 7));
  Child->Body(Join({{"begin 644 stopped.bin"}, lines}));
  ASSERT_EQ(AllFiles().size(), 2) << "the part file and what is decoded so far";
  Child->StopClick();
  EXPECT_EQ(AllFiles(), QStringList{});
  Child->Body(Join({{"begin 644 closed.bin"}, lines}));
  Child.reset();
  EXPECT_EQ(AllFiles(), QStringList{"2.UUE"});
}

// A part file kept by an earlier window, and a link planted where a part
// file would go, are passed over for the next free number, never opened.
TEST_F(Scanner, PartFilesAreAlwaysNewFiles) {
  const std::string outside = Dir.path().toStdString() + "/outside";
  AppendText(outside, "not ours");
  AppendText(Folder + "1.UUE", "kept");
  ASSERT_EQ(::symlink(outside.c_str(), (Folder + "2.UUE").c_str()), 0);
  AppendText(Folder + "4.B64", "kept");
  Child->Body(Join({{"begin 644 a.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(Child->FPartFileCount, 3);
  Child->Body(Join({{"Content-Transfer-Encoding: base64", ""}, Base64Lines(Data), {"--b"}}));
  EXPECT_EQ(Child->FPartFileCount, 5);
  EXPECT_EQ(ReadFile(Folder + "a.bin"), Data);
  EXPECT_EQ(ReadFile(Folder + "47115.mod"), Data); // named after the number it got
  EXPECT_EQ(ReadFile(Folder + "1.UUE"), "kept");
  EXPECT_EQ(ReadFile(Folder + "4.B64"), "kept");
  EXPECT_EQ(ReadFile(outside), "not ours");
}

TEST_F(Scanner, NamesFromTheNetworkStayInTheSessionFolder) {
  Child->Body(Join({{"begin 644 ../../up.bin"},
                    UULines(Data),
                    {"end", "--b", "Content-Transfer-Encoding: base64",
                     "Content-Disposition: inline; filename=\"/tmp/abs.bin\"", ""},
                    Base64Lines(Data),
                    {"--b", "begin-base64 644 ..\\..\\back.bin"},
                    Base64Lines(Data),
                    {"end"}}));
  EXPECT_EQ(Child->Saved(), (std::vector<std::string>{"up.bin", "abs.bin", "back.bin"}));
  for (const char* name : {"up.bin", "abs.bin", "back.bin"})
    EXPECT_EQ(ReadFile(Folder + name), Data) << name;
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"session"});
}

// Posts whose lines end in CR CR LF reach the scanner with a CR left on each.
TEST_F(Scanner, BlockEndsAndPartHeadersFollowedByACRStillCount) {
  auto withCR = [](std::vector<std::string> lines) {
    for (std::string& line : lines)
      line += '\r';
    return lines;
  };
  Child->Body(withCR(
      Join({{"begin-base64 644 a.bin", "QUJD", "end", "after"},
            {"begin-base64 644 b.bin"},
            Base64Lines(Data),
            {"====", "after"},
            {"begin 644 c.bin"},
            UULines(Data),
            {"end", "after"},
            {"--b", "Content-Transfer-Encoding: base64", "Content-Disposition: inline; filename=d.bin", ""},
            Base64Lines(Data),
            {"--b--", "after"}})));
  EXPECT_EQ(ReadFile(Folder + "a.bin"), "ABC");
  for (const char* name : {"b.bin", "c.bin", "d.bin"})
    EXPECT_EQ(ReadFile(Folder + name), Data) << name;
  EXPECT_EQ(Child->Saved(), (std::vector<std::string>{"a.bin", "b.bin", "c.bin", "d.bin"}));
  EXPECT_EQ(Child->FPartFile, nullptr);
}

// sharutils writes the mode in octal without padding: "begin 0 name" for a
// file of mode 0. Any digits are a mode.
TEST_F(Scanner, BeginLinesOfEveryModeDecode) {
  for (const std::string mode : {"0", "7", "4755", "0644", "100644"}) {
    Child->Body(Join({{"begin " + mode + " m" + mode}, UULines(Data), {"end"}}));
    EXPECT_EQ(ReadFile(Folder + "m" + mode), Data) << mode;
  }
  EXPECT_EQ(Child->FDecodedCount, 5);
}

// Single-part articles written by Python's email package, their names in
// the header as it writes them: quoted, folded onto a line of their own, or
// cut in sections.
TEST_F(Scanner, SinglePartArticlesFromPythonDecodeUnderTheirNames) {
  if (!HaveTool(Python))
    GTEST_SKIP() << "Debian's python3 not installed";
  const std::string dir = Dir.path().toStdString() + "/";
  AppendText(dir + "source.bin", Data);
  const std::vector<std::string> names = {
      "report.pdf", "holiday pictures from the trip of last summer, part one.pdf",
      "a name long enough for the email package to cut it in sections (\u00e9).bin"};
  for (const std::string& name : names) {
    ASSERT_EQ(std::system(("cd '" + dir + "' && " + Python + R"py( -c "import sys
from email.message import EmailMessage
m = EmailMessage()
m.set_content(open('source.bin', 'rb').read(), maintype='application', subtype='octet-stream', filename=sys.argv[1])
sys.stdout.write(m.as_string().replace('\n', '\r\n'))" ')py" +
                           name + "' > article.txt")
                              .c_str()),
              0);
    const auto lines = CrLfLines(ReadFile(dir + "article.txt"));
    const auto blank = std::find(lines.begin(), lines.end(), "");
    Child->Head({lines.begin(), blank});
    Child->Body({blank == lines.end() ? blank : blank + 1, lines.end()});
    Child->EndOfBody(true);
    EXPECT_EQ(ReadFile(Folder + name), Data) << name;
  }
  EXPECT_EQ(Child->Saved(), names);
}

// What decides that a body is one file, and where that file ends.
TEST_F(Scanner, SinglePartBodyStartsOnlyWithANamedBase64HeaderAndEndsWithTheBody) {
  const std::vector<std::string> named = {"Subject: x", "Content-Type: application/octet-stream",
                                          "Content-Transfer-Encoding: Base64\r",
                                          "Content-Disposition: attachment; filename=\"one.bin\""};
  auto article = [&](std::int64_t number, const std::vector<std::string>& header) {
    Child->FArticleCurrent = number;
    Child->Head(header);
  };
  // Base64 text without a name, and a header that belongs to another article.
  article(1, {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: base64"});
  Child->Body(Base64Lines("just a text"));
  Child->Head(named);
  article(2, {"Lines: 3"});
  Child->Body(Base64Lines(Data));
  Child->EndOfBody(true);
  EXPECT_EQ(Child->FPartFileCount, 0);

  // A body cut short is kept undecoded.
  article(3, named);
  Child->Body(Base64Lines(Data));
  Child->EndOfBody(false);
  EXPECT_EQ(Child->FDecodedCount, 0);
  EXPECT_EQ(Child->MemoLines().back(), "Unfinished part file kept 1.B64 ");
  EXPECT_EQ(Part(1, ".B64").substr(0, 26), "begin-base64 0644 one.bin\r");

  // A block open from an earlier article is kept.
  article(4, {"Subject: long.bin (1/2)"});
  Child->Body({"begin 644 long.bin"});
  article(5, named);
  Child->Body(Base64Lines(Data));
  Child->EndOfBody(true);
  EXPECT_EQ(Part(2), "begin 644 long.bin\r\n");
  EXPECT_EQ(ReadFile(Folder + "one.bin"), Data);

  // A body file whose end was never reported does not take the next body.
  article(7, named);
  Child->Body(Base64Lines(Data));
  article(8, {"Subject: text"});
  Child->Body({"text of the next article"});
  EXPECT_EQ(Child->FPartFile, nullptr);
  EXPECT_EQ(Part(4, ".B64").find("text"), std::string::npos);
  EXPECT_EQ(Child->FDecodedCount, 1);
}

// The same scanner fed by the window's own client from a news server.
class ScannerOverNntp : public Scanner {
protected:
  void Connect(std::vector<TNewsArticle> articles) {
    Server.ServeGroup("alt.binaries.test", std::move(articles));
    Child->Nntp.SetHost("127.0.0.1");
    Child->Nntp.SetPort(Server.PortText());
    Child->Nntp.OnRequestDone = [this](TObject*, TNntpRequest kind, std::uint16_t) { Done.push_back(kind); };
    Child->Nntp.OnSessionConnected = nullptr; // the requests are made here, not by the controller
    Child->Nntp.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpReady; }));
    Run(stepStart, [&] { Child->Nntp.Group("alt.binaries.test"); });
  }
  // Runs one request to its reported end.
  void Run(std::int32_t step, const std::function<void()>& request) {
    const std::size_t before = Done.size();
    Child->FNextStep = step;
    Child->FBodyLines = 0;
    Child->FDataFound = false;
    request();
    ASSERT_TRUE(PumpUntil([&] { return Done.size() > before; }));
  }

  TScriptedNewsServer Server;
  std::vector<TNntpRequest> Done;
};

TEST_F(ScannerOverNntp, FilePostedOverThreeArticlesIsDecodedOnce) {
  const auto lines = UULines(Data);
  const long third = long(lines.size() / 3);
  Connect({{1,
            {"Subject: big.bin (1/3)", "Lines: 40"},
            Join({{"begin 644 big.bin"}, {lines.begin(), lines.begin() + third}})},
           {2, {"Lines: 40"}, {lines.begin() + third, lines.begin() + 2 * third}},
           {3, {"Lines: 40"}, Join({{lines.begin() + 2 * third, lines.end()}, {"end", "-- "}})}});
  Child->FMaxWaitingLines = 5; // articles 2 and 3 carry data without a begin line
  Run(stepHead, [&] { Child->Nntp.HeadByNumber(1); });
  EXPECT_EQ(Child->FArticleLines, 40);
  for (int article = 1; article <= 3; ++article)
    Run(stepBody, [&] { Child->Nntp.BodyByNumber(article); });
  EXPECT_EQ(ReadFile(Folder + "big.bin"), Data);
  EXPECT_EQ(Child->Saved(), std::vector<std::string>{"big.bin"});
}

// The file is decoded as its lines arrive: while a large block comes in,
// the window's loop runs its timers, and they find decoded bytes on disk
// before the block's last line is there.
TEST_F(ScannerOverNntp, ATimerFiresWhileALargeFileIsDecoded) {
  const std::string big = RandomBytes(8 << 20, 12);
  Connect({{1, {"Lines: 190000"}, UU("big.bin", big)}});
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const QStringList decoding =
        QDir(QString::fromStdString(Folder)).entryList({".decoding-*"}, QDir::Files | QDir::Hidden);
    ticks += Child->FPartFile && !decoding.isEmpty() &&
             QFileInfo(QString::fromStdString(Folder) + decoding[0]).size() > 0;
  });
  timer.start(0);
  Run(stepBody, [&] { Child->Nntp.BodyByNumber(1); });
  EXPECT_GT(ticks, 0);
  EXPECT_EQ(ReadFile(Folder + "big.bin"), big);
}

// Ends with the connection aborted by the scanner and the abort reported.
TEST_F(ScannerOverNntp, BodyWithoutDataPastTheWaitingLimitAbortsTheConnection) {
  Connect({{1, {"Lines: 100"}, std::vector<std::string>(100, "just text")}});
  Child->FMaxWaitingLines = 5;
  Run(stepBody, [&] { Child->Nntp.BodyByNumber(1); });
  EXPECT_EQ(Done.back(), nntpAbort);
  EXPECT_TRUE(Child->FInternalAbort);
  EXPECT_EQ(Child->FBodyLines, 6);
  EXPECT_EQ(Child->Nntp.State(), nntpNotConnected);
}

#include "tests/walk/TestSession.h"

#include "codec/YEnc.h"
#include "decode/YEncFinished.h"
#include "platform/FileOps.h"

#include <QCoreApplication>

#include <algorithm>
#include <filesystem>
#include <fstream>

using Lines = std::vector<std::string>;

class YEnc : public SessionTest {
protected:
  void SetUp() override {
    SessionTest::SetUp();
    Child->FArticleCurrent = 100;
  }
  // A body as the controller asks for it, its end not reported yet.
  void Fetch(const Lines& lines, TTestSession* child = nullptr) {
    child = child ? child : Child.get();
    child->Log("Request Body " + std::to_string(child->FArticleCurrent++));
    child->Body(lines);
  }
  // One article: a line of text, the part, a signature; its end reported.
  void Article(const Lines& part, TTestSession* child = nullptr) {
    Fetch(Join({{"A file for you:"}, part, {"-- ", "a poster"}}), child);
    (child ? child : Child.get())->EndOfBody(true);
  }
  // The folder's files but the list of files put together.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Folder))
      if (entry.path().filename() != TYEncFinished::FileName)
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The log lines after the request lines.
  Lines Logged(const TTestSession* child = nullptr) const {
    Lines lines;
    for (const std::string& line : (child ? child : Child.get())->MemoLines())
      if (line.rfind("Request Body ", 0) != 0)
        lines.push_back(line);
    return lines;
  }

  const std::string Data = RandomBytes(300000, 5);
};

// The parts make the file in any order; until then it is a .partial beside
// the record of its parts.
TEST_F(YEnc, PartsInAnyOrderMakeTheFile) {
  Article(YEncParts(Data, "holiday photo.jpg", 1)[0]);
  EXPECT_EQ(ReadFile(Folder + "holiday photo.jpg"), Data);
  EXPECT_EQ(Files(), (Lines{"holiday photo.jpg"})); // nothing else left behind
  const std::vector<Lines> parts = YEncParts(Data, "set.rar", 7);
  for (const std::vector<std::size_t>& order :
       {std::vector<std::size_t>{6, 5, 4, 3, 2, 1, 0}, {3, 0, 6, 2, 5, 1, 4}}) {
    std::filesystem::remove_all(Folder);
    SetUp();
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(Files(), i == 0 ? Lines{} : (Lines{"set.rar.partial", "set.rar.partial.parts"}));
      Article(parts[order[i]]);
    }
    EXPECT_EQ(ReadFile(Folder + "set.rar"), Data);
    EXPECT_EQ(Files(), (Lines{"set.rar"}));
    EXPECT_EQ(Child->Saved(), (Lines{"set.rar"}));
    EXPECT_EQ(Logged(), Lines{});
  }
  // A part that comes again once its file is made (a repost) makes no new file.
  Article(parts[3]);
  EXPECT_EQ(Files(), (Lines{"set.rar"}));
  Child->FormClose(Child.get());
  EXPECT_EQ(Logged(), (Lines{"part 4 of \"set.rar\": set.rar is complete already; part skipped "}));
}

// The close says what is missing, once the .partial is on disk; a window
// opened later on the same folder finishes the file with the last part,
// reading what came before from the record.
TEST_F(YEnc, MissingPartStaysPartialAndALaterWindowCompletesIt) {
  const std::vector<Lines> parts = YEncParts(Data, "holiday.zip", 9);
  for (std::size_t i : {0, 1, 3, 5, 6, 7})
    Article(parts[i]);
  EXPECT_EQ(Files(), (Lines{"holiday.zip.partial", "holiday.zip.partial.parts"}));
  EXPECT_TRUE(Child->Saved().empty());
  Child->FormClose(Child.get());
  EXPECT_EQ(Logged(), (Lines{"holiday.zip: 3 of 9 parts missing "}));

  auto later = std::make_unique<TTestSession>();
  later->FSessionDir = Folder;
  later->FArticleCurrent = 200;
  later->FYEnc.SetCheckPiece(1);  // the close vouched for the parts before: nothing is read back
  for (std::size_t i : {2, 4, 3}) // part 4 again is no harm
    Article(parts[i], later.get());
  later->CloseYEncFiles();
  EXPECT_EQ(ReadFile(Folder + "holiday.zip.partial").size(), 8 * 33334u); // up to part 8's end
  Article(parts[8], later.get());
  EXPECT_EQ(ReadFile(Folder + "holiday.zip"), Data);
  EXPECT_EQ(Files(), (Lines{"dati.ini", "holiday.zip"}));
  EXPECT_EQ(later->Saved(), (Lines{"holiday.zip"}));
  later->CloseYEncFiles(); // the file is whole: nothing more to report
  EXPECT_EQ(Logged(later.get()), (Lines{"holiday.zip: 1 of 9 parts missing "}));
}

// A part that fails its check is logged and never recorded; the bytes that
// arrived before it stay as they were, and a sound copy of it still counts.
// A sound part whose bytes differ from those held goes aside, and goes once
// the file is made.
TEST_F(YEnc, PartThatFailsItsCheckIsSkippedWithoutHarm) {
  std::vector<Lines> parts = YEncParts(Data, "x.bin", 3);
  Article(parts[0]);
  Lines corrupt = parts[1];
  std::string& line = corrupt[5];
  std::size_t at = 10;
  while (line[at] == '=' || line[at - 1] == '=') // a plain byte, so only its value changes
    ++at;
  line[at] = line[at] == 'a' ? 'b' : 'a';
  Article(corrupt);
  Lines shortened = parts[1];
  shortened.erase(shortened.begin() + 4);
  Article(shortened);
  Lines overlapping = YEncParts(RandomBytes(Data.size(), 6), "x.bin", 3)[0]; // other bytes, same range
  overlapping.back() = overlapping.back().substr(0, overlapping.back().find(" crc32="));
  Article(overlapping);
  const Lines logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].rfind("part 2 of \"x.bin\": CRC-32 ", 0), 0u) << logged[0];
  EXPECT_NE(logged[0].find(" does not match pcrc32="), std::string::npos) << logged[0];
  EXPECT_EQ(logged[1].rfind("part 2 of \"x.bin\": ", 0), 0u) << logged[1];
  EXPECT_NE(logged[1].find(" bytes decoded, =yend says size=100000; part skipped "), std::string::npos);
  TYEncRecord record;
  ASSERT_TRUE(record.Parse(ReadFile(Folder + "x.bin.partial.parts")));
  EXPECT_EQ(record.PartsReceived(), 1u);
  EXPECT_EQ(ReadFile(Folder + "x.bin.partial").substr(0, 100000), Data.substr(0, 100000));
  EXPECT_EQ(Files(),
            (Lines{"x.bin (1).partial", "x.bin (1).partial.parts", "x.bin.partial", "x.bin.partial.parts"}));

  Article(parts[2]);
  Article(parts[1]);
  EXPECT_EQ(ReadFile(Folder + "x.bin"), Data);
  EXPECT_EQ(Files(), Lines{"x.bin"});
  EXPECT_EQ(Logged().size(), 2u);
}

// The parts' CRCs stand for the bytes this window wrote: the whole file is
// stored at once. Parts recorded by an older version are read back, one
// piece per turn of the event loop. Until the last piece the file stays a
// .partial, and a part that comes again meanwhile changes nothing. Bytes
// changed on disk before their piece is read fail the check and keep the
// .partial, and a window that closes mid-check finishes it.
TEST_F(YEnc, LargeFileIsCheckedAPiecePerTurn) {
  const std::vector<Lines> parts = YEncParts(Data, "disc.iso", 3);
  Child->FYEnc.SetCheckPiece(1);
  for (const Lines& part : parts)
    Article(part);
  EXPECT_EQ(Files(), (Lines{"disc.iso"}));
  EXPECT_EQ(ReadFile(Folder + "disc.iso"), Data);

  const std::uint32_t crc = Crc32(0, Data.data(), Data.size());
  auto older = [&] {
    std::filesystem::remove_all(Folder);
    SetUp();
    AppendText(Folder + "disc.iso.partial", Data.substr(0, 200000));
    AppendText(Folder + "disc.iso.partial.parts",
               "vostel yenc 1 size=300000\r\n" + TYEncRecord::PartLine({1, {0, 100000}, 3, crc, {}}) +
                   TYEncRecord::PartLine({2, {100000, 200000}, 3, crc, {}}));
    Child->FYEnc.SetCheckPiece(65536); // 200000 bytes to read: four pieces
    Article(parts[2]);
    EXPECT_EQ(Files(), (Lines{"disc.iso.partial", "disc.iso.partial.parts"}));
  };
  older();
  QCoreApplication::processEvents();
  EXPECT_EQ(Files(), (Lines{"disc.iso.partial", "disc.iso.partial.parts"}));
  Article(parts[1]); // the same part again, mid-check
  EXPECT_TRUE(PumpUntil([&] { return Files() == Lines{"disc.iso"}; }));
  EXPECT_EQ(ReadFile(Folder + "disc.iso"), Data);
  EXPECT_EQ(Child->Saved(), (Lines{"disc.iso"}));
  EXPECT_EQ(Logged(), Lines{});

  older();
  QCoreApplication::processEvents();
  {
    std::fstream partial(Folder + "disc.iso.partial", std::ios::in | std::ios::out | std::ios::binary);
    partial.seekp(150000);
    partial.put(char(~Data[150000]));
  }
  PumpFor(50);
  EXPECT_EQ(Files(), (Lines{"disc.iso.partial", "disc.iso.partial.parts"}));
  const Lines logged = Logged();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("disc.iso: all parts are here, but CRC-32 ", 0), 0u) << logged[0];
  EXPECT_NE(logged[0].find("; kept as disc.iso.partial"), std::string::npos) << logged[0];

  older();
  QCoreApplication::processEvents();
  Child->FormClose(Child.get());
  EXPECT_EQ(Files(), (Lines{"dati.ini", "disc.iso"}));
  EXPECT_EQ(ReadFile(Folder + "disc.iso"), Data);
  EXPECT_EQ(Logged(), Lines{});
}

// Numbers and names from the network: each case ends in one log line,
// writes nothing, or nothing outside the session folder.
TEST_F(YEnc, HostileHeadersEndInOneLogLineEach) {
  const auto body = [&](const std::string& begin, Lines rest = {"=yend size=3"}) {
    Article(Join({{begin}, {"abc"}, rest}));
  };
  body("=ybegin line=128 size=1000000000000000 name=huge.bin");
  body("=ybegin part=1 total=1000000000 line=128 size=1000 name=many.bin");
  Article({"=ybegin part=2 total=3 line=128 size=1000 name=past.bin", "=ypart begin=999 end=1001", "abc",
           "=yend size=3"});
  body("=ybegin line=128 size=3 name=../..");
  body("=ybegin line=128 name=nosize.bin");
  Article({"=yend size=3 crc32=00000000", "=ypart begin=1 end=3"});
  EXPECT_EQ(
      Logged(),
      (Lines{"\"huge.bin\": size=1000000000000000 is past the 64 GiB a file may have here; part skipped ",
             "part 1 of \"many.bin\": total=1000000000 parts cannot share size=1000 bytes; part skipped ",
             "part 2 of \"past.bin\": =ypart begin=999 end=1001 lies past size=1000; part skipped ",
             "\"../..\": name= gives no file name; part skipped ", "=ybegin without size=; part skipped ",
             "=yend without =ybegin; line skipped ", "=ypart without =ybegin; line skipped "}));
  EXPECT_EQ(Files(), Lines{});

  // A huge file in parts takes only the room of the parts that came.
  const std::string bytes = RandomBytes(5000, 7);
  TYEncPartInfo info;
  info.Name = "far.bin";
  info.FileSize = 10'000'000'000;
  info.Offset = 9'000'000'000;
  info.Part = 2;
  info.Total = 1'000'000'000;
  Article(CrLfLines(YEncEncodePart(bytes, info)));
  EXPECT_EQ(std::filesystem::file_size(Folder + "far.bin.partial"), 9'000'005'000u);
  struct stat st {};
  ASSERT_EQ(::stat((Folder + "far.bin.partial").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  Child->CloseYEncFiles();
  EXPECT_EQ(Logged().back(), "far.bin: 999999999 of 1000000000 parts missing ");

  // Names keep only their last part, end at a NUL as a path would, and never
  // take a session file's name, the folder's lock included.
  Article(YEncParts("def", "/etc/dati.ini", 1)[0]);
  Article(YEncParts("ghi", TArticleScanner::LockFileName, 1)[0]);
  EXPECT_FALSE(FileExists(Folder + TArticleScanner::LockFileName));
  EXPECT_EQ(ReadFile(Folder + ".vostel (1).lock"), "ghi");
  Article(YEncParts("jkl", std::string("7.UUE\0.txt", 11), 1)[0]);
  AppendText(Folder + "nul.txt", "mno");
  EXPECT_EQ(Child->StoreDecodedFile(Folder + "nul.txt", std::string("dati.ini\0x", 10)), "dati (2).ini");
  EXPECT_EQ(ReadFile(Folder + "dati (1).ini"), "def");
  EXPECT_EQ(ReadFile(Folder + "7 (1).UUE"), "jkl");
  EXPECT_EQ(ReadFile(Folder + "dati (2).ini"), "mno");
}

// What lies in the session folder under a .partial's names is only used when
// it is ours: a foreign file, a link or a record that is no record is left as
// it was, and the file is put together beside it under a numbered stem.
TEST_F(YEnc, FilesInTheWayOfAnAssemblyAreLeftAlone) {
  const auto whole = [&](const std::string& name) {
    for (const Lines& part : YEncParts(Data, name, 2))
      Article(part);
    EXPECT_EQ(ReadFile(Folder + name), Data) << name;
  };
  AppendText(Folder + "a.bin.partial", "someone's file");
  whole("a.bin");
  EXPECT_EQ(ReadFile(Folder + "a.bin.partial"), "someone's file");

  AppendText(Folder + "b.bin.partial.parts", "not a record\r\n");
  whole("b.bin");
  EXPECT_EQ(ReadFile(Folder + "b.bin.partial.parts"), "not a record\r\n");

  std::filesystem::create_symlink(Dir.path().toStdString() + "/outside", Folder + "c.bin.partial");
  AppendText(Folder + "c.bin.partial.parts", "vostel yenc 1 size=300000\r\n");
  whole("c.bin");
  EXPECT_FALSE(std::filesystem::exists(Dir.path().toStdString() + "/outside"));
  EXPECT_EQ(Files(), (Lines{"a.bin", "a.bin.partial", "b.bin", "b.bin.partial.parts", "c.bin",
                            "c.bin.partial", "c.bin.partial.parts"}));

  // A record whose .partial has gone starts the file again.
  AppendText(Folder + "d.bin.partial.parts", "vostel yenc 1 size=300000\r\npart=1 begin=1 end=150000\r\n");
  whole("d.bin");
  EXPECT_FALSE(FileExists(Folder + "d.bin.partial.parts"));
  EXPECT_EQ(Logged(), Lines{});
}

// A crash leaves a record with its last line cut short, or with nothing in
// it at all (before its header was written, or lost with the disk's cache):
// no part that arrived is forgotten for that, and no part is refused.
TEST_F(YEnc, ADamagedRecordNeverBlocksItsFile) {
  const std::vector<Lines> parts = YEncParts(Data, "cut.bin", 3);
  Article(parts[0]);
  AppendText(Folder + "cut.bin.partial.parts", "part=2 begin=1000"); // a short write
  Article(parts[1]);
  Child->CloseYEncFiles();
  auto later = std::make_unique<TTestSession>();
  later->FSessionDir = Folder;
  Article(parts[2], later.get());
  EXPECT_EQ(ReadFile(Folder + "cut.bin"), Data);

  AppendText(Folder + "zero.bin.partial.parts", "");
  AppendText(Folder + "kept.bin.partial.parts", "");
  AppendText(Folder + "kept.bin.partial", "bytes of a file the record has lost");
  for (const std::string name : {"zero.bin", "kept.bin"})
    for (const Lines& part : YEncParts(Data, name, 2))
      Article(part, later.get());
  EXPECT_EQ(ReadFile(Folder + "zero.bin"), Data);
  EXPECT_EQ(ReadFile(Folder + "kept.bin"), Data);
  EXPECT_EQ(ReadFile(Folder + "kept.bin.partial"), "bytes of a file the record has lost");
  EXPECT_EQ(Files(),
            (Lines{"cut.bin", "kept.bin", "kept.bin.partial", "kept.bin.partial.parts", "zero.bin"}));
  EXPECT_EQ(Logged(later.get()), Lines{});
}

// A bogus part 1 of the same name and size, without crc32= or with another
// one, before, among or after the parts of the real post: the real file is
// stored byte for byte, and the copy the bogus part went to goes with it (one
// that names another crc32= is another file, and waits for its other parts).
// A repost of the real file afterwards adds nothing.
TEST_F(YEnc, OneBogusPartDoesNotBlockTheRealFile) {
  const std::vector<Lines> real = YEncParts(Data, "cd1.rar", 3);
  const std::vector<Lines> other = YEncParts(RandomBytes(Data.size(), 9), "cd1.rar", 3);
  Lines bogus = other[0];
  bogus.back() = bogus.back().substr(0, bogus.back().find(" crc32="));
  const std::vector<std::vector<Lines>> orders = {{bogus, real[0], real[1], real[2]},
                                                  {real[2], real[1], real[0], bogus},
                                                  {real[1], bogus, real[2], real[0]},
                                                  {other[0], real[0], real[1], real[2]}};
  for (const std::vector<Lines>& order : orders) {
    SCOPED_TRACE(&order - orders.data());
    std::filesystem::remove_all(Folder);
    SetUp();
    for (const Lines& part : order)
      Article(part);
    for (const Lines& part : real)
      Article(part);
    EXPECT_EQ(ReadFile(Folder + "cd1.rar"), Data);
    const Lines left = &order == &orders.back() ? Lines{"cd1.rar", "cd1.rar.partial", "cd1.rar.partial.parts"}
                                                : Lines{"cd1.rar"};
    EXPECT_EQ(Files(), left);
    EXPECT_EQ(Child->Saved(), (Lines{"cd1.rar"}));
  }
  // Parts longer than the buffer that writes a part out are held whole too,
  // so their crc32= chooses their copy.
  const std::string big = RandomBytes(3u << 20, 10);
  Article(YEncParts(RandomBytes(big.size(), 11), "big.iso", 2)[0]);
  for (const Lines& part : YEncParts(big, "big.iso", 2))
    Article(part);
  EXPECT_EQ(ReadFile(Folder + "big.iso"), big);
}

// Another file of the same name but another size, its parts among those of
// the first: both are put together, and the second stored under a number.
TEST_F(YEnc, SameNameAndAnotherSizeIsAnotherFile) {
  const std::string big = RandomBytes(90000, 11), small = RandomBytes(60000, 12);
  const std::vector<Lines> bigParts = YEncParts(big, "cd1.rar", 3),
                           smallParts = YEncParts(small, "cd1.rar", 2);
  for (const Lines* part : {&bigParts[0], &smallParts[0], &bigParts[1], &smallParts[1], &bigParts[2]})
    Article(*part);
  EXPECT_EQ(ReadFile(Folder + "cd1.rar"), small);
  EXPECT_EQ(ReadFile(Folder + "cd1 (1).rar"), big);
  EXPECT_EQ(Files(), (Lines{"cd1 (1).rar", "cd1.rar"}));
  EXPECT_EQ(Logged(), Lines{});
}

// A window that meets a part of a file made in an earlier window passes it
// over, and leaves nothing unfinished; a file of the same name and size with
// another crc32= is still another file.
TEST_F(YEnc, AFileMadeInAnEarlierWindowIsRemembered) {
  const std::vector<Lines> parts = YEncParts(Data, "f.bin", 3);
  for (const Lines& part : parts)
    Article(part);
  Child->CloseYEncFiles();
  char line[64];
  std::snprintf(line, sizeof line, "size=300000 crc32=%08x name=f.bin\r\n",
                unsigned(Crc32(0, Data.data(), Data.size())));
  EXPECT_EQ(ReadFile(Folder + TYEncFinished::FileName), line);

  auto later = std::make_unique<TTestSession>();
  later->FSessionDir = Folder;
  Article(parts[1], later.get());
  const std::string other = RandomBytes(Data.size(), 13);
  for (const Lines& part : YEncParts(other, "f.bin", 2))
    Article(part, later.get());
  later->CloseYEncFiles();
  EXPECT_EQ(Logged(later.get()), (Lines{"part 2 of \"f.bin\": f.bin is complete already; part skipped "}));
  EXPECT_EQ(Files(), (Lines{"f (1).bin", "f.bin"}));
  EXPECT_EQ(ReadFile(Folder + "f (1).bin"), other);
}

// The scanner's other kinds meet yEnc: a =ybegin keeps an unfinished block;
// inside a part no line starts or ends a block; the waiting limit counts the
// part as data; a body cut short or ended without =yend records nothing.
TEST_F(YEnc, PartsBetweenTheOtherKinds) {
  Fetch({"begin 644 unfinished.jpg", "M86)C"});
  // Data lines that read as block starts and ends.
  std::string tricky;
  for (const char* line : {"begin 644 x.jpg", "end", "-- ", "--frontier", "begin-base64 644 y"})
    for (const char* c = line; *c; ++c)
      tricky += char(*c - 42);
  Lines part = YEncParts(tricky, "tricky.bin", 1)[0];
  part = {part.front(), "begin 644 x.jpg", "end", "-- ", "--frontier", "begin-base64 644 y", part.back()};
  Fetch(part);
  Child->EndOfBody(true);
  EXPECT_EQ(ReadFile(Folder + "tricky.bin"), tricky);
  EXPECT_EQ(ReadFile(Folder + "1.UUE"), "begin 644 unfinished.jpg\r\nM86)C\r\n");
  EXPECT_EQ(Child->FPartFileCount, 1);

  const std::vector<Lines> parts = YEncParts(Data, "cut.bin", 2);
  Fetch({parts[0].begin(), parts[0].begin() + 20}); // X, or the connection lost
  Child->EndOfBody(false);
  Fetch(Lines(parts[1].begin(), parts[1].end() - 1)); // no =yend
  Child->EndOfBody(true);
  Fetch({parts[0].begin(), parts[0].begin() + 20});
  Fetch(parts[1]); // a body whose end was never reported takes nothing along
  EXPECT_EQ(Logged(), (Lines{"Unfinished part file kept 1.UUE ",
                             "part 1 of \"cut.bin\": the article was cut short; part skipped ",
                             "part 2 of \"cut.bin\": the article ended before =yend; part skipped "}));
  TYEncRecord record;
  ASSERT_TRUE(record.Parse(ReadFile(Folder + "cut.bin.partial.parts")));
  EXPECT_EQ(record.PartsReceived(), 1u);
  EXPECT_EQ(record.Received().front().From, 150000u);

  Child->FMaxWaitingLines = 2; // the =ybegin on the second line is data found
  Article(parts[0]);
  EXPECT_FALSE(Child->FInternalAbort);
  EXPECT_EQ(ReadFile(Folder + "cut.bin"), Data);
  EXPECT_EQ(Child->Saved(), (Lines{"tricky.bin", "cut.bin"}));
}

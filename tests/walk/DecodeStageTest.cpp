#include "tests/walk/TestSession.h"

#include "platform/FileName.h"
#include "platform/FileOps.h"

#include <QDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class DecodeStage : public SessionTest {
protected:
  // Writes part file n of the given kind as the scanner leaves it.
  std::string Write(int n, std::int32_t kind, const std::vector<std::string>& lines) {
    const std::string path = Folder + std::to_string(n) + (kind == 2 ? ".B64" : ".UUE");
    TFileWriter part(path);
    for (const std::string& line : lines)
      part.Write(line + "\r\n");
    part.Close();
    Child->FPartFileCount = n;
    Child->FPartKind = kind;
    return path;
  }
  // And runs the decode stage on it.
  std::string Decode(int n, std::int32_t kind, const std::vector<std::string>& lines) {
    const std::string path = Write(n, kind, lines);
    Child->DecodePartFile();
    return path;
  }
  std::string Status() const { return Shown(0); }
  std::string Count() const { return Shown(3); }
  std::string Shown(int panel) const { return Child->Panel(panel); }
  // Everything in the session folder, hidden entries included.
  QStringList Files() const {
    return QDir(QString::fromStdString(Folder))
        .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
  }

  const std::string Data = RandomBytes(3000, 7);
};

TEST_F(DecodeStage, Base64PartIsDecodedListedAndDeleted) {
  const std::string part = Decode(3, 2, Join({{"begin-base64 0644 photo.jpg"}, Base64Lines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "photo.jpg"), Data);
  EXPECT_FALSE(FileExists(part));
  EXPECT_EQ(Files(), QStringList{"photo.jpg"}); // the work folder is gone
  EXPECT_EQ(Child->Saved(), std::vector<std::string>{"photo.jpg"});
  EXPECT_EQ(Status(), "Decoding File try Base64");
  EXPECT_EQ(Count(), "1");
}

// A name with folders, as posters on other systems write it, is stored
// under its last part.
TEST_F(DecodeStage, UuencodePartIsTriedFirstWithUudecode) {
  Decode(1, 1, Join({{"begin 644 pics\\a.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "a.bin"), Data);
  EXPECT_EQ(Files(), QStringList{"a.bin"});
  EXPECT_EQ(Status(), "Decoding File try UUEncode");
}

TEST_F(DecodeStage, Base64PartHoldingUuencodeFallsBack) {
  const std::string part = Decode(2, 2, Join({{"begin 644 b.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "b.bin"), Data);
  EXPECT_FALSE(FileExists(part));
  EXPECT_EQ(Files(), QStringList{"b.bin"});
  EXPECT_EQ(Status(), "Decoding File try UUEncode");
}

// Both decoders fail: the part file stays and the log says which one.
TEST_F(DecodeStage, DoubleFailureIsLoggedAndKeepsThePartFile) {
  const std::string part = Decode(7, 1, {"no header, only text"});
  EXPECT_TRUE(FileExists(part));
  EXPECT_EQ(Child->MemoLines(),
            std::vector<std::string>{"Error Decoding file 7.UUE: No begin line in 7.UUE "});
  EXPECT_EQ(Status(), "Decoding File try Base 64");
  EXPECT_EQ(Files(), QStringList{"7.UUE"}); // nothing half-done is left behind
  EXPECT_TRUE(Child->Saved().empty());
  EXPECT_EQ(Count(), "1");
}

// "begin 0 name" (sharutils for a file of mode 0) decodes like any other mode.
TEST_F(DecodeStage, Kind3DecodesWithItsModeMode0Included) {
  const auto lines = Join({{"begin 0 c.bin"}, UULines(Data), {"end"}});
  Child->FFileMode = 0;
  const std::string part = Decode(4, 3, lines);
  EXPECT_FALSE(FileExists(part));
  EXPECT_EQ(ReadFile(Folder + "c.bin"), Data);
  EXPECT_EQ(Count(), "1");

  Child->FFileMode = 755;
  Decode(4, 3, lines);
  EXPECT_EQ(Child->FFileMode, 0);
  EXPECT_EQ(Child->Saved(), (std::vector<std::string>{"c.bin", "c.bin"}));
  EXPECT_EQ(Count(), "2");
}

// Two posters' "same.bin" are both kept; the same file again adds nothing.
TEST_F(DecodeStage, SameNameWithOtherContentGetsANumberedName) {
  Decode(1, 1, Join({{"begin 644 same.bin"}, UULines("first"), {"end"}}));
  Decode(2, 1, Join({{"begin 644 same.bin"}, UULines(Data), {"end"}}));
  Decode(3, 1, Join({{"begin 644 same.bin"}, UULines(Data), {"end"}}));
  Decode(4, 1, Join({{"begin 644 same.bin"}, UULines("first"), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "same.bin"), "first");
  EXPECT_EQ(ReadFile(Folder + "same (1).bin"), Data);
  EXPECT_EQ(Child->Saved(),
            (std::vector<std::string>{"same.bin", "same (1).bin", "same (1).bin", "same.bin"}));
  EXPECT_EQ(Files(), (QStringList{"same (1).bin", "same.bin"}));
}

// Files larger than one piece of the comparison: equal ones are one file,
// ones that differ only in their last byte are two.
TEST_F(DecodeStage, SameContentIsComparedToTheLastByte) {
  const std::string big = RandomBytes(200000, 9);
  std::string other = big;
  other.back() = char(other.back() ^ 1);
  auto store = [&](const std::string& data) {
    AppendText(Folder + "decoded", data);
    return Child->StoreDecodedFile(Folder + "decoded", "big.bin");
  };
  EXPECT_EQ(store(big), "big.bin");
  EXPECT_EQ(store(big), "big.bin");
  EXPECT_EQ(store(other), "big (1).bin");
  EXPECT_EQ(store(""), "big (2).bin");
  EXPECT_EQ(store(""), "big (2).bin");
  EXPECT_EQ(ReadFile(Folder + "big.bin"), big);
  EXPECT_EQ(ReadFile(Folder + "big (1).bin"), other);
  EXPECT_EQ(Files(), (QStringList{"big (1).bin", "big (2).bin", "big.bin"}));
}

// A begin line naming its own part file, or any of the session's files: the
// decoded file goes under another name and the part file is deleted.
TEST_F(DecodeStage, DecodedFileNamedLikeASessionFileGetsAnotherName) {
  Decode(5, 1, Join({{"begin 644 5.UUE"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "5 (1).UUE"), Data);
  EXPECT_FALSE(FileExists(Folder + "5.UUE"));
  AppendText(Folder + "dati.ini", "[READED]\r\nLAST=12\r\n");
  Decode(6, 2, Join({{"begin-base64 644 DATI.INI"}, Base64Lines("mine"), {"end"}}));
  Decode(7, 1, Join({{"begin 644 8.b64"}, UULines("eight"), {"end"}}));
  Decode(8, 1, Join({{"begin 644 w.bin.partial"}, UULines("dot"), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "dati.ini"), "[READED]\r\nLAST=12\r\n");
  EXPECT_EQ(ReadFile(Folder + "DATI (1).INI"), "mine");
  EXPECT_EQ(ReadFile(Folder + "8 (1).b64"), "eight");
  EXPECT_EQ(Child->Saved(),
            (std::vector<std::string>{"5 (1).UUE", "DATI (1).INI", "8 (1).b64", "w.bin.partial (1)"}));
  // The number goes where it makes no session name, so a later yEnc file
  // "w.bin (1)" finds nothing in its way.
  for (const auto& part : YEncParts("yenc", "w.bin (1)", 2))
    Child->Body(part);
  EXPECT_EQ(ReadFile(Folder + "w.bin (1)"), "yenc");
}

// A full disk (the file size limit stands in for it) or a name that is no
// file name: the part file with the only copy of the data stays, one log
// line says why, nothing is listed, and the other decoder never reads
// "begin-base64 0644 holiday.jpg" as a uuencode header.
TEST_F(DecodeStage, FailedDecodeKeepsThePartFileAndSavesNothing) {
  const auto lines = Join({{"begin-base64 0644 holiday.jpg"}, Base64Lines(RandomBytes(400000, 3)), {"end"}});
  const std::string part = Write(1, 2, lines), text = ReadFile(part);
  rlimit saved{}, full{100000, RLIM_INFINITY}; // writes past it fail with EFBIG
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &full);
  Child->DecodePartFile();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(ReadFile(part), text);

  Decode(2, 2, {"begin-base64 0644 ..", "QUJD", "end"});
  EXPECT_EQ(Files(), (QStringList{"1.B64", "2.B64"}));
  EXPECT_TRUE(Child->Saved().empty());
  EXPECT_EQ(Child->MemoLines(), (std::vector<std::string>{
                                    "Error Decoding file 1.B64: Cannot write to holiday.jpg: File too large ",
                                    "Error Decoding file 2.B64: OutputFileName is empty "}));
}

// 300 bytes of name, two bytes a character: cut to what the folder takes,
// the extension kept and no character cut in half; a multi-part file's
// .partial.parts must fit as well. Every file, a single-part yEnc one (from
// a private temporary file) included, gets the mode of a new file.
TEST_F(DecodeStage, OverlongNamesAreShortenedAndEveryFileGetsANewFilesMode) {
  std::string stem;
  for (int i = 0; i < 148; ++i)
    stem += "\xC3\xA9"; // é
  const mode_t mask = ::umask(002);
  Decode(1, 1, Join({{"begin 600 " + stem + ".jpg"}, UULines(Data), {"end"}}));
  Decode(2, 2, Join({{"begin-base64 0644 b.bin"}, Base64Lines(Data), {"end"}}));
  Child->Body(YEncParts(Data, stem + ".zip", 1)[0]);
  for (const auto& part : YEncParts(Data, stem.substr(0, 240) + ".rar", 2))
    Child->Body(part);
  ::umask(mask);
  const std::size_t max = NameMax(Folder);
  const std::string cut = stem.substr(0, (max - 4) / 2 * 2);
  EXPECT_EQ(Child->Saved(), (std::vector<std::string>{cut + ".jpg", "b.bin", cut + ".zip",
                                                      stem.substr(0, (max - 18) / 2 * 2) + ".rar"}));
  for (const std::string& name : Child->Saved()) {
    struct stat st {};
    EXPECT_EQ(ReadFile(Folder + name), Data);
    EXPECT_EQ(::stat((Folder + name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0664u) << name;
  }
  EXPECT_EQ(Files().size(), 5); // and the list of the yEnc files put together
}

// Whatever holds a name (a folder, a link, a file) is never written through or
// replaced by something else; a name that is no file name stores nothing.
TEST_F(DecodeStage, StoredNameAvoidsWhatTheFolderHolds) {
  const std::string outside = Dir.path().toStdString() + "/outside.bin";
  AppendText(outside, "same");
  ASSERT_EQ(::symlink(outside.c_str(), (Folder + "link.bin").c_str()), 0);
  CreateFolder(Folder + "x.bin");
  AppendText(Folder + "noext", "old");
  AppendText(Folder + ".hidden", "old");
  auto store = [&](const std::string& name) {
    AppendText(Folder + "decoded", "same");
    return Child->StoreDecodedFile(Folder + "decoded", name);
  };
  EXPECT_EQ(store("link.bin"), "link (1).bin");
  EXPECT_EQ(store("x.bin"), "x (1).bin");
  EXPECT_EQ(store("noext"), "noext (1)");
  EXPECT_EQ(store(".hidden"), ".hidden (1)");
  EXPECT_EQ(store("C:\\news\\c.bin"), "c.bin");
  EXPECT_EQ(store("../c.bin"), "c.bin"); // the same content again
  EXPECT_EQ(ReadFile(outside), "same");
  EXPECT_THROW(store(".."), EInOutError);
  EXPECT_EQ(ReadFile(Folder + "decoded"), "same");
  EXPECT_EQ(Child->StoreDecodedFile(Folder + "decoded", "decoded"), "decoded"); // already in place
  EXPECT_EQ(ReadFile(Folder + "decoded"), "same");
}

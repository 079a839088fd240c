#include "tests/session/TestChild.h"

#include "platform/FileOps.h"

#include <QLabel>
#include <QProgressBar>

class DecodeStage : public SessionTest {
protected:
  // Writes part file n of the given kind and runs the decode stage on it.
  std::string Decode(int n, std::int32_t kind, const std::vector<std::string>& lines) {
    const std::string path = Folder + std::to_string(n) + (kind == 2 ? ".B64" : ".UUE");
    TFileWriter part(path);
    for (const std::string& line : lines)
      part.Write(line + "\r\n");
    part.Close();
    Child->FPartFileCount = n;
    Child->FPartKind = kind;
    Child->DecodePartFile();
    return path;
  }
  std::string Status() const { return Child->SB1Panels[0]->text().toStdString(); }
  std::string Count() const { return Child->SB1Panels[3]->text().toStdString(); }

  const std::string Data = RandomBytes(3000, 7);
};

TEST_F(DecodeStage, Base64PartIsDecodedListedAndDeleted) {
  std::vector<int> bar;
  QObject::connect(Child->ProgressBar1, &QProgressBar::valueChanged, [&](int v) { bar.push_back(v); });
  const std::string part = Decode(3, 2, Join({{"begin-base64 0644 photo.jpg"}, Base64Lines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "photo.jpg"), Data);
  EXPECT_FALSE(FileExists(part));
  EXPECT_EQ(Child->Saved(), std::vector<std::string>{"photo.jpg"});
  EXPECT_EQ(Status(), "Decoding File try Base64");
  EXPECT_EQ(Count(), "1");
  // The bar follows the codec up to 100 and is back at 0 afterwards.
  ASSERT_FALSE(bar.empty());
  EXPECT_EQ(*std::max_element(bar.begin(), bar.end()), 100);
  EXPECT_EQ(Child->ProgressBar1->value(), 0);
}

TEST_F(DecodeStage, UuencodePartIsTriedFirstWithUudecode) {
  Decode(1, 1, Join({{"begin 644 a.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "a.bin"), Data);
  EXPECT_EQ(Status(), "Decoding File try UUEncode");
}

TEST_F(DecodeStage, Base64PartHoldingUuencodeFallsBack) {
  const std::string part = Decode(2, 2, Join({{"begin 644 b.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "b.bin"), Data);
  EXPECT_FALSE(FileExists(part));
  EXPECT_EQ(Status(), "Decoding File try UUEncode");
}

// Both decoders fail: the part file stays and the log says which one.
TEST_F(DecodeStage, DoubleFailureIsLoggedAndKeepsThePartFile) {
  const std::string part = Decode(7, 1, {"no header, only text"});
  EXPECT_TRUE(FileExists(part));
  EXPECT_EQ(Child->MemoLines(), std::vector<std::string>{"Error Decoding file " + part + " "});
  EXPECT_EQ(Status(), "Decoding File try Base 64");
  EXPECT_TRUE(Child->Saved().empty());
  EXPECT_EQ(Count(), "1");
}

TEST_F(DecodeStage, Kind3DecodesOnceWithItsModeAndNotAtAllWithout) {
  const auto lines = Join({{"begin 755 c.bin"}, UULines(Data), {"end"}});
  Child->FFileMode = 0;
  const std::string part = Decode(4, 3, lines);
  EXPECT_TRUE(FileExists(part));
  EXPECT_TRUE(Child->Saved().empty());
  EXPECT_EQ(Count(), "1"); // counted all the same

  Child->FFileMode = 755;
  Decode(4, 3, lines);
  EXPECT_EQ(ReadFile(Folder + "c.bin"), Data);
  EXPECT_EQ(Child->UUCode.FileMode(), 755);
  EXPECT_EQ(Child->FFileMode, 0);
  EXPECT_EQ(Count(), "2");
}

TEST_F(DecodeStage, SameNameTwiceOverwritesAndIsListedTwice) {
  Decode(1, 1, Join({{"begin 644 same.bin"}, UULines("first"), {"end"}}));
  Decode(2, 1, Join({{"begin 644 same.bin"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "same.bin"), Data);
  EXPECT_EQ(Child->Saved(), (std::vector<std::string>{"same.bin", "same.bin"}));
}

// A begin line naming its own part file: deleting the part would delete the
// decoded file.
TEST_F(DecodeStage, DecodedFileNamedLikeItsPartFileIsKept) {
  Decode(5, 1, Join({{"begin 644 5.UUE"}, UULines(Data), {"end"}}));
  EXPECT_EQ(ReadFile(Folder + "5.UUE"), Data);
}

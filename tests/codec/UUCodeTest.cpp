#include "CodecFixture.h"

#include "codec/YEnc.h"
#include "tests/support/Allocations.h"

#include <utility>

using Encoding = CodecTest;
using Decoding = CodecTest;
using Running = CodecTest;

TEST_F(Encoding, OneGroupInEachAlphabetWithoutHeaders) {
  EXPECT_EQ(Encoded(uuencode, "abc", false), "#86)C\r\n`\r\n\r\n");
  EXPECT_EQ(Encoded(xxencode, "abc", false), "1MK7X\r\n+\r\n\r\n");
  EXPECT_EQ(Encoded(base64encode, "abc", false), "YWJj\r\n\r\n");
}

TEST_F(Encoding, UuLinesOf45BytesAShortPaddedLastLineAndTheZeroLengthLine) {
  std::string line = "M";
  for (int i = 0; i < 15; ++i)
    line += ">'AX"; // "xxx"
  EXPECT_EQ(Encoded(uuencode, std::string(100, 'x')),
            "begin 0644 a.bin\r\n" + line + "\r\n" + line + "\r\n*>'AX>'AX>'AX>```\r\n`\r\nend\r\n");
  EXPECT_EQ(Encoded(xxencode, "xy"), "begin 0644 a.bin\r\n0S5Y+\r\n+\r\nend\r\n");
  // A whole line leaves an empty last line: only its length character.
  EXPECT_EQ(Encoded(uuencode, std::string(45, 'x')), "begin 0644 a.bin\r\n" + line + "\r\n`\r\nend\r\n");
  EXPECT_EQ(Encoded(uuencode, ""), "begin 0644 a.bin\r\n`\r\nend\r\n");
  EXPECT_EQ(Encoded(xxencode, ""), "begin 0644 a.bin\r\n+\r\nend\r\n");
}

TEST_F(Encoding, Base64PadsItsLastGroupAndEndsWithEnd) {
  EXPECT_EQ(Encoded(base64encode, "A"), "begin-base64 0644 a.bin\r\nQQ==\r\nend\r\n");
  EXPECT_EQ(Encoded(base64encode, "AB", false, LF), "QUI=\n\n");
  EXPECT_EQ(Encoded(base64encode, ""), "begin-base64 0644 a.bin\r\n\r\nend\r\n");
  const std::string text = Encoded(base64encode, std::string(57, '\0'), false, LF);
  EXPECT_EQ(text, std::string(76, 'A') + "\n\n\n");
}

TEST_F(Encoding, LfLineEndsAndTheFileModeInTheHeader) {
  Codec.SetFileMode(7);
  EXPECT_EQ(Encoded(uuencode, "abc", true, LF), "begin 0007 a.bin\n#86)C\n`\nend\n");
  Codec.SetFileMode(65535);
  EXPECT_EQ(Encoded(xxencode, "", true, LF), "begin 65535 a.bin\n+\nend\n");
}

TEST_F(Encoding, AHeaderLongerThanTheUsualBufferIsCutTo255) {
  const std::string name(250, 'n');
  Put(name, "z");
  Run(base64encode, name, "a.txt");
  const std::string header = "begin-base64 0644 " + name;
  EXPECT_EQ(Get("a.txt"), header.substr(0, 255) + "\r\neg==\r\nend\r\n");
}

TEST_F(Decoding, PaddingEndsItsGroupAndConcatenatedRunsGoOn) {
  EXPECT_EQ(Decoded(base64decode, "begin-base64 644 p\nQQ==\nend\n"), "A");
  EXPECT_EQ(Decoded(base64decode, "begin-base64 644 p\nQQ==QUJD\nQUI=\n====\n"), "AABCAB");
  // The last line may lack its line end: the data's end closes the group.
  EXPECT_EQ(Decoded(base64decode, "begin-base64 644 p\nQUJDQQ"), "ABCA");
}

TEST_F(Decoding, TheLengthCharacterCountsTheBytesOfALine) {
  // 8 characters hold 6 bytes; "%" says 5, the rest is padding.
  EXPECT_EQ(Decoded(uudecode, "begin 644 p\n%86)C86)C\n`\nend\n"), "abcab");
  // A line shorter than its count gives what it holds; a checksum character gives nothing.
  EXPECT_EQ(Decoded(uudecode, "begin 644 p\n&86)C\n#86)CX\nend\n"), "abcabc");
  EXPECT_EQ(Decoded(xxdecode, "begin 644 p\n0MK7X\n+\nend\n"), "ab");
  // What the usual encoders write: blanks or backquotes as padding, "====" after Base64.
  EXPECT_EQ(Decoded(uudecode, "begin 644 p\n-:&5L;&\\@=V]R;&0A(0  \n`\nend\n"), "hello world!!");
  EXPECT_EQ(Decoded(uudecode, "begin 644 p\n!00``\n`\nend\n"), "A");
}

TEST_F(Decoding, TextLinesInsideTheBlockAreDataAndEndStopsIt) {
  // "p" counts 48 bytes; "art 2 of 3" holds groups of 4, 4 and 2 characters.
  EXPECT_EQ(Decoded(uudecode, "begin 644 p\n#86)C\npart 2 of 3\n#86)C\nend\n#86)C\n").size(), 13u);
  EXPECT_EQ(Decoded(base64decode, "begin-base64 644 p\nQUJD\n\r\n\nend\r\nQUJD\n"), "ABC");
  EXPECT_EQ(Decoded(xxdecode, "begin 644 p\n1MK7X\nend of part 1\n1MK7X\n"), "abc");
  // A data line that happens to start with "end" is data, not the trailer.
  EXPECT_EQ(Decoded(base64decode, "begin-base64 644 p\nendQ\nend=\nend"), "zwPzw");
  EXPECT_EQ(Decoded(xxdecode, "begin 644 p\nendM\nend\n"), "\xce\x96");
}

TEST_F(Decoding, TheNameComesFromTheBeginLineAndStaysInTheInputsFolder) {
  const std::string abc = "\n#86)C\nend\n";
  EXPECT_EQ(Decoded(uudecode, "begin 644 pic.jpg\r" + abc), "abc");
  EXPECT_EQ(Codec.OutputFile(), Dir + "pic.jpg");
  Decoded(uudecode, "begin 644 \"my pic.jpg\"" + abc);
  EXPECT_EQ(Codec.OutputFile(), Dir + "my pic.jpg");
  std::filesystem::create_directory(Dir + "sub");
  EXPECT_EQ(Decoded(uudecode, "begin 644 sub\\pic.jpg" + abc), "abc");
  EXPECT_EQ(Codec.OutputFile(), Dir + "sub/pic.jpg");
  Codec.SetFlatNames(true);
  EXPECT_EQ(Decoded(uudecode, "begin 644 dir\\sub/pic.jpg" + abc), "abc");
  EXPECT_EQ(Codec.OutputFile(), Dir + "pic.jpg");
  Codec.SetFlatNames(false);
  for (const char* escape : {"/tmp/x.bin", "..\\..\\x.bin", "C:\\news\\x.bin", "c:x.bin", "a/../x.bin"}) {
    Decoded(uudecode, "begin 644 " + std::string(escape) + abc);
    EXPECT_EQ(Codec.OutputFile(), Dir + "x.bin") << escape;
  }
}

TEST_F(Decoding, BadBeginLinesFailWithoutWritingAnything) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"#86)C\nend\n", "No begin line in "},              // no header: the other decoder may try
      {"begin 644 pic.jpg", "Unfinished begin line in "}, // name runs to the end of the data
      {"begin\n", "No begin line in "},                   // no blank, no mode
      {"begin-base64 0644 holiday.jpg\nQUJD\nend\n", "No begin line in "}, // no uuencode header
      {"begin 2nd half\n#86)C\n", "No begin line in "},                    // the mode is digits only
      {"begin 644\n#86)C\n", "No begin line in "},                         // and a blank before the name
      {"begin 644 ..\n#86)C\n", "OutputFileName is empty"},
      {"begin 644 sub/\n#86)C\n", "OutputFileName is empty"},
      {"begin 644 \"\"\r\n#86)C\n", "OutputFileName is empty"}};
  for (const auto& [text, error] : cases) {
    Put("1.UUE", text);
    try {
      Run(uudecode, "1.UUE", "");
      ADD_FAILURE() << text;
    } catch (const EUUCode& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, error.size()), error) << text;
    }
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1) << "only 1.UUE";
}

TEST_F(Running, MissingNamesFailBeforeAnyFileIsTouched) {
  Put("out", "old");
  Codec.SetAlgorithm(uuencode);
  Codec.SetOutputFile(Dir + "out");
  try {
    Codec.Execute();
    ADD_FAILURE();
  } catch (const EUUCode& e) {
    EXPECT_STREQ(e.what(), "InputFileName is empty");
  }
  // An encoder checks the output name before reading: the missing input is no error yet.
  for (TAlgorithm a : {filecopy, uuencode, xxencode, base64encode}) {
    Codec.SetAlgorithm(a);
    Codec.SetInputFile(Dir + "missing");
    Codec.SetOutputFile("");
    try {
      Codec.Execute();
      ADD_FAILURE();
    } catch (const EUUCode& e) {
      EXPECT_STREQ(e.what(), "OutputFileName is empty");
    }
  }
  // A decoder without headers needs the name it was given.
  Put("in", "#86)C\n");
  EXPECT_THROW(Run(uudecode, "in", "", false), EUUCode);
  EXPECT_EQ(Get("out"), "old");
}

TEST_F(Running, FileErrorsAreInOutErrorsAndLeaveNoPartialFile) {
  EXPECT_THROW(Run(uudecode, "missing", "out"), EInOutError);
  EXPECT_FALSE(Exists("out"));
  Put("in", "data");
  EXPECT_THROW(Run(filecopy, "in", "no/such/folder"), EInOutError);
  std::filesystem::create_directory(Dir + "folder");
  EXPECT_THROW(Run(filecopy, "folder", "out"), EInOutError); // read fails: a folder
  Put("out", "old");
  EXPECT_THROW(Run(uudecode, "in", "out"), EUUCode); // no begin line: old file untouched
  EXPECT_EQ(Get("out"), "old");
  Run(filecopy, "in", "out");
  EXPECT_EQ(Get("out"), "data");
}

TEST_F(Running, ProgressAtStartEachLineEndAndAfterWriting) {
  std::vector<int> seen;
  Codec.OnProgress = [&](std::uint16_t percent) { seen.push_back(percent); };
  // 90 bytes: 2 full lines of 63 characters out of a buffer of 93 + 31 + 6 + 32.
  Encoded(uuencode, std::string(90, 'x'), false);
  EXPECT_EQ(seen, (std::vector<int>{0, 6300 / 162, 12600 / 162, 13100 / 162, 100}));
  seen.clear();
  Put("1.UUE", Get("a.txt"));
  Run(uudecode, "1.UUE", "b.bin", false);
  EXPECT_EQ(seen, (std::vector<int>{0, 0, 4500 / 134, 9000 / 134, 9000 / 134, 100}));
  seen.clear();
  Run(filecopy, "1.UUE", "c.bin");
  EXPECT_EQ(seen, std::vector<int>{100});
}

TEST_F(Running, AHandlerThatChangesThePropertiesDoesNotChangeTheRunningEncoder) {
  // A long header switched on from the first event would not fit the buffer
  // sized for a headerless run.
  Codec.OnProgress = [&](std::uint16_t percent) {
    if (percent == 0) {
      Codec.SetHeaders(true);
      Codec.SetInputFile(Dir + std::string(250, 'n'));
    }
  };
  EXPECT_EQ(Encoded(uuencode, "abc", false), "#86)C\r\n`\r\n\r\n");
}

TEST_F(Running, ActiveRunsOnceAndIsFalseAgainEvenAfterAFailure) {
  Put("in", "abc");
  bool activeDuringRun = false;
  Codec.OnProgress = [&](std::uint16_t) { activeDuringRun = Codec.Active(); };
  Codec.SetAlgorithm(filecopy);
  Codec.SetInputFile(Dir + "in");
  Codec.SetOutputFile(Dir + "out");
  Codec.SetActive(true);
  EXPECT_TRUE(activeDuringRun);
  EXPECT_FALSE(Codec.Active());
  EXPECT_EQ(Get("out"), "abc");
  Codec.SetInputFile("");
  EXPECT_THROW(Codec.SetActive(true), EUUCode);
  EXPECT_FALSE(Codec.Active()) << "a failed run must not leave the component stuck";
  const std::string about = Codec.About();
  Codec.SetAbout("other");
  EXPECT_EQ(Codec.About(), about);
}

// yEnc lines are read whole up to 64 KiB; a poster's longer lines (here a
// part's whole data on one line, across the pieces the file is read in) are
// decoded in pieces, the escapes between them included. The parts are
// written into the file as they come; one that fails the whole file's CRC
// leaves a file of that name as it was.
TEST_F(Running, YDecodeTakesLinesLongerThanItsLineBuffer) {
  const std::string bytes = Random(3000000, 4);
  std::string text;
  for (const std::uint64_t at : {1500000u, 0u}) {
    TYEncPartInfo info;
    info.Name = "long.bin";
    info.FileSize = bytes.size();
    info.Offset = at;
    info.Part = at / 1500000 + 1;
    info.Total = 2;
    info.FileCrc = Crc32(0, bytes.data(), bytes.size());
    info.LineLength = 2000000;
    text += YEncEncodePart(std::string_view(bytes).substr(at, 1500000), info);
  }
  Put("long.bin", "old");
  std::string damaged = text;
  damaged[damaged.size() - 1000] ^= 1; // in the last part, once the first is written
  EXPECT_THROW(Decoded(ydecode, damaged), EUUCode);
  EXPECT_EQ(Get("long.bin"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 2) << "long.bin and 1.UUE";
  EXPECT_TRUE(Decoded(ydecode, text) == bytes);
  EXPECT_EQ(Codec.OutputFile(), Dir + "long.bin");
}

// A short input takes buffers of about its own size, not a long file's
// pieces of a MiB: a run in memory on 3 KB allocates nothing near 64 KiB
// (the fuzz targets run thousands a second), and gives what a run on a file
// gives.
TEST_F(Running, ShortInputsTakeBuffersOfTheirOwnSize) {
  const std::string bytes = Random(3000, 5);
  const auto inMemory = [&](TAlgorithm algorithm, const std::string& input) {
    Codec.SetAlgorithm(algorithm);
    WatchAllocations(true);
    const std::string output = Codec.Convert(input);
    EXPECT_LT(WatchAllocations(false), 64u << 10) << "algorithm " << int(algorithm);
    return output;
  };
  const std::pair<TAlgorithm, TAlgorithm> pairs[] = {
      {uuencode, uudecode}, {xxencode, xxdecode}, {base64encode, base64decode}};
  for (const auto& [encoder, decoder] : pairs) {
    const std::string text = Encoded(encoder, bytes);
    EXPECT_EQ(inMemory(encoder, bytes), text);
    EXPECT_TRUE(inMemory(decoder, text) == bytes);
  }
  TYEncPartInfo info;
  info.Name = "a.bin";
  info.FileSize = bytes.size();
  EXPECT_TRUE(inMemory(ydecode, YEncEncodePart(bytes, info)) == bytes);
}

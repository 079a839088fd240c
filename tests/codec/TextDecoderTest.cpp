#include "codec/TextDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TRun {
  std::string Bytes, Name, Failure;
};

// Feeds text in pieces cut at the given places and collects what comes out.
TRun Decode(TAlgorithm algorithm, const std::string& text, const std::vector<std::size_t>& cuts) {
  TTextDecoder decoder(algorithm, true, "1.UUE");
  TRun run;
  decoder.OnOutput = [&](const char* data, std::size_t size) { run.Bytes.append(data, size); };
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    decoder.Feed(std::string_view(text).substr(from, cut - from));
    from = cut;
  }
  decoder.Feed(std::string_view(text).substr(from));
  decoder.Finish();
  EXPECT_EQ(run.Bytes.size(), decoder.Decoded());
  run.Name = decoder.Name();
  run.Failure = decoder.Failure();
  return run;
}

} // namespace

// Whatever the pieces (the scanner hands over a line at a time, a base64
// part file a bare line at a time), the result is that of the whole text:
// a begin line split anywhere, a group or "end" cut between two pieces, a
// partial match of the begin line, padding, and a text ending mid-group.
TEST(TextDecoder, PiecesOfAnySizeGiveWhatTheWholeTextGives) {
  const std::vector<std::pair<TAlgorithm, std::string>> texts = {
      {uudecode, "x begin-x beginbegin 644 a "
                 "b.bin\r\n#86)C\r\nM86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C\r\n"
                 "endless\r\n#86)C\r\n"},
      {uudecode, "begin 644 p\n%86)C86)C\n`\nend"},
      {xxdecode, "begin 644 p\r\n0MK7X\r\nendM\r\n+\r\nend\r\n"},
      {base64decode, "begin-begin-base64 0644 \"photo.jpg\"\r\nQUJDRA==QUJ\r\nendQ\r\nQUJD\r\nend\r\n"},
      {base64decode, "begin-base64 0644 p\r\nQUJDQUJDQUJDQUJDQUJDQUJDQUJDQUJD\r\nend"},
      {base64decode, "begin-base64 0644 p\r\nQUJDQQ"}};
  for (const auto& [algorithm, text] : texts) {
    const TRun whole = Decode(algorithm, text, {});
    ASSERT_EQ(whole.Failure, "") << text;
    for (std::size_t size = 1; size <= 5; ++size) {
      std::vector<std::size_t> cuts;
      for (std::size_t at = size; at < text.size(); at += size)
        cuts.push_back(at);
      const TRun pieces = Decode(algorithm, text, cuts);
      EXPECT_EQ(pieces.Bytes, whole.Bytes) << text << " in pieces of " << size;
      EXPECT_EQ(pieces.Name, whole.Name);
    }
  }
  EXPECT_EQ(Decode(uudecode, texts[0].second, {}).Name, "a b.bin");
  EXPECT_EQ(Decode(base64decode, texts[3].second, {}).Bytes, "ABCDABzwPABC"); // "endQ" is data
}

// The failures a caller falls back on: nothing comes out, and a name too
// long for any folder costs no more than MaxNameLength of memory.
TEST(TextDecoder, BeginLinesThatNameNoFileFail) {
  EXPECT_EQ(Decode(uudecode, "#86)C\nend\n", {3}).Failure, "No begin line in 1.UUE");
  EXPECT_EQ(Decode(uudecode, "begin 644 pic.jpg", {8}).Failure, "Unfinished begin line in 1.UUE");
  EXPECT_EQ(Decode(base64decode, "begin-base64\r\nQUJD", {}).Failure, "Unfinished begin line in 1.UUE");
  const TRun noName = Decode(uudecode, "begin 644 ..\n#86)C\nend\n", {});
  EXPECT_EQ(noName.Failure, "OutputFileName is empty");
  EXPECT_EQ(noName.Bytes, "");
  const TRun longName =
      Decode(uudecode, "begin 644 " + std::string(TTextDecoder::MaxNameLength + 10, 'n') + "\n#86)C\n", {});
  EXPECT_EQ(longName.Name.size(), TTextDecoder::MaxNameLength);
  EXPECT_EQ(longName.Bytes, "abc");
}

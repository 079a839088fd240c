#pragma once

#include "codec/UUCode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

// Each test works in a fresh folder of its own, removed afterwards.
class CodecTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vostel-codec-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  void Put(const std::string& name, const std::string& bytes) {
    std::ofstream(Dir + name, std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) {
    std::ifstream f(Dir + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  bool Exists(const std::string& name) { return std::filesystem::exists(Dir + name); }

  // Runs one algorithm from file in to file out, both in the test's folder.
  void Run(TAlgorithm algorithm, const std::string& in, const std::string& out, bool headers = true,
           TUnixCRLF lineEnd = CRLF) {
    Codec.SetAlgorithm(algorithm);
    Codec.SetInputFile(Dir + in);
    Codec.SetOutputFile(out.empty() ? "" : Dir + out);
    Codec.SetHeaders(headers);
    Codec.SetUnixCRLF(lineEnd);
    Codec.Execute();
  }

  // Encodes bytes and returns the text.
  std::string Encoded(TAlgorithm algorithm, const std::string& bytes, bool headers = true,
                      TUnixCRLF lineEnd = CRLF) {
    Put("a.bin", bytes);
    Run(algorithm, "a.bin", "a.txt", headers, lineEnd);
    return Get("a.txt");
  }

  // Decodes text holding a begin line and returns the bytes of the file it names.
  std::string Decoded(TAlgorithm algorithm, const std::string& text) {
    Put("1.UUE", text);
    Run(algorithm, "1.UUE", "");
    return Get(Codec.OutputFile().substr(Dir.size()));
  }

public:
  static std::string Random(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s)
      c = char(gen());
    return s;
  }

protected:
  std::string Dir;
  TUUCode Codec;
};

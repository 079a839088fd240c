// Feeds any bytes to the three decoders, and round-trips them through the
// three encoders. Under AddressSanitizer this shows reads or writes outside
// the buffers; the checks below catch names that leave the work folder and
// conversions that lose bytes.
#include "codec/UUCode.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

// A fresh folder for the run, removed when the fuzzer exits.
struct TWorkFolder {
  std::string Path;
  TWorkFolder() {
    Path = (std::filesystem::temp_directory_path() / "vostel-fuzz-XXXXXX").string();
    if (!::mkdtemp(Path.data()))
      std::abort();
    Path += "/";
  }
  ~TWorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
};

const std::string& Folder() {
  static const TWorkFolder folder;
  return folder.Path;
}

void Put(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

std::string Get(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void Decode(TAlgorithm algorithm, bool headers) {
  TUUCode codec;
  codec.SetAlgorithm(algorithm);
  codec.SetHeaders(headers);
  codec.SetInputFile(Folder() + "in");
  codec.SetOutputFile(Folder() + "out");
  try {
    codec.Execute();
  } catch (const Exception&) {
    // Malformed begin lines and names that cannot be created end here.
  }
  const std::string& out = codec.OutputFile();
  if (out.compare(0, Folder().size(), Folder()) != 0)
    std::abort();
  const std::string name = "/" + out.substr(Folder().size()) + "/";
  if (name.find("/../") != std::string::npos)
    std::abort();
  std::error_code ignored;
  std::filesystem::remove(out, ignored);
}

// With headers the decoded file is named after the encoder's input, so the
// result is compared with the bytes in memory.
void RoundTrip(const std::string& bytes, TAlgorithm encoder, TAlgorithm decoder, bool headers,
               TUnixCRLF lineEnd) {
  TUUCode codec;
  codec.SetHeaders(headers);
  codec.SetUnixCRLF(lineEnd);
  codec.SetAlgorithm(encoder);
  codec.SetInputFile(Folder() + "in");
  codec.SetOutputFile(Folder() + "enc");
  codec.Execute();
  codec.SetAlgorithm(decoder);
  codec.SetInputFile(Folder() + "enc");
  codec.SetOutputFile(Folder() + "back");
  codec.Execute();
  if (Get(codec.OutputFile()) != bytes)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Put(Folder() + "in", data, size);
  const bool headers = size > 0 && (data[0] & 1) != 0;
  for (TAlgorithm decoder : {uudecode, xxdecode, base64decode})
    Decode(decoder, headers);
  Put(Folder() + "in", data, size);
  const TUnixCRLF lineEnd = size > 0 && (data[0] & 2) != 0 ? LF : CRLF;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  RoundTrip(bytes, uuencode, uudecode, headers, lineEnd);
  RoundTrip(bytes, xxencode, xxdecode, headers, lineEnd);
  RoundTrip(bytes, base64encode, base64decode, headers, lineEnd);
  return 0;
}

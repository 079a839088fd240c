// Feeds any bytes to the uuencode, XXencode and Base64 decoders, and round-trips
// them through the three encoders, all in memory. Under AddressSanitizer this
// shows reads or writes outside the buffers; the checks below catch names that
// leave the input's folder and conversions that lose bytes.
#include "codec/UUCode.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr const char* Folder = "/news/host/group/";

void Decode(std::string_view input, TAlgorithm algorithm, bool headers) {
  TUUCode codec;
  codec.SetAlgorithm(algorithm);
  codec.SetHeaders(headers);
  codec.SetInputFile(std::string(Folder) + "5.UUE");
  codec.SetOutputFile(std::string(Folder) + "5.dec");
  try {
    codec.Convert(input);
  } catch (const Exception&) {
    // Malformed begin lines end here.
  }
  const std::string& out = codec.OutputFile();
  const std::string_view folder(Folder);
  if (out.compare(0, folder.size(), folder) != 0)
    std::abort();
  const std::string name = "/" + out.substr(folder.size()) + "/";
  if (name.find("/../") != std::string::npos || name == "//")
    std::abort();
}

void RoundTrip(std::string_view bytes, TAlgorithm encoder, TAlgorithm decoder, bool headers,
               TUnixCRLF lineEnd) {
  TUUCode codec;
  codec.SetHeaders(headers);
  codec.SetUnixCRLF(lineEnd);
  codec.SetInputFile(std::string(Folder) + "a.bin");
  codec.SetOutputFile(std::string(Folder) + "a.txt");
  codec.SetAlgorithm(encoder);
  const std::string text = codec.Convert(bytes);
  codec.SetAlgorithm(decoder);
  if (codec.Convert(text) != bytes)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool headers = size > 0 && (data[0] & 1) != 0;
  for (const TAlgorithm decoder : {uudecode, xxdecode, base64decode})
    Decode(input, decoder, headers);
  const TUnixCRLF lineEnd = size > 0 && (data[0] & 2) != 0 ? LF : CRLF;
  RoundTrip(input, uuencode, uudecode, headers, lineEnd);
  RoundTrip(input, xxencode, xxdecode, headers, lineEnd);
  RoundTrip(input, base64encode, base64decode, headers, lineEnd);
  return 0;
}

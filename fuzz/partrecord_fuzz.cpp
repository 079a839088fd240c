// Feeds any bytes to the reader of the records that list the parts of a yEnc
// file being put together ("<name>.partial.parts"). What it accepts must
// describe bytes inside the file, in sorted ranges that do not touch, and
// must read back the same once written out again.
#include "session/YEncRecord.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok) {
  if (!ok)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TYEncRecord record;
  if (!record.Parse(input))
    return 0;
  std::uint64_t at = 0;
  for (const TByteRange& r : record.Received()) {
    Check(r.From < r.To && r.To <= record.Size());
    Check(at == 0 || r.From > at); // merged: no two ranges touch
    at = r.To;
  }
  Check(record.BytesReceived() <= record.Size());
  Check(record.Complete() == (record.PartsMissing() == 0));

  std::string text = record.HeaderLine();
  for (const TByteRange& r : record.Received())
    text += TYEncRecord::PartLine(1, r, record.Total(), record.Crc());
  TYEncRecord again;
  Check(again.Parse(text));
  Check(again.Size() == record.Size() && again.Total() == record.Total() && again.Crc() == record.Crc());
  Check(again.Received().size() == record.Received().size());
  for (std::size_t i = 0; i < again.Received().size(); ++i)
    Check(again.Received()[i].From == record.Received()[i].From &&
          again.Received()[i].To == record.Received()[i].To);
  return 0;
}

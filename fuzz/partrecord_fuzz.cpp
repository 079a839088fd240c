// Feeds any bytes to the reader of the records that list the parts of a yEnc
// file being put together ("<stem>.partial.parts"). What it accepts must
// describe bytes inside the file, in sorted ranges that do not touch, and
// must read back the same once written out again; a choice of its parts
// that makes the file must meet end to end and have the file's CRC-32.
#include "codec/YEnc.h"
#include "decode/YEncRecord.h"
#include "decode/YEncTiling.h"
#include "fuzz/FuzzCheck.h"

#include <string>
#include <string_view>

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
  for (const TYEncEntry& e : record.Entries()) {
    Check(!e.Proven || e.PCrc);
    text += TYEncRecord::PartLine(e);
  }
  TYEncRecord again;
  Check(again.Parse(text));
  Check(again.Size() == record.Size() && again.Total() == record.Total() && again.Crc() == record.Crc());
  Check(again.Name() == record.Name());
  Check(again.Entries().size() == record.Entries().size());
  for (std::size_t i = 0; i < again.Entries().size(); ++i) {
    const TYEncEntry &a = again.Entries()[i], &b = record.Entries()[i];
    Check(a.Part == b.Part && a.Range.From == b.Range.From && a.Range.To == b.Range.To &&
          a.Total == b.Total && a.Crc == b.Crc && a.PCrc == b.PCrc);
  }
  Check(again.Received().size() == record.Received().size());
  for (std::size_t i = 0; i < again.Received().size(); ++i)
    Check(again.Received()[i].From == record.Received()[i].From &&
          again.Received()[i].To == record.Received()[i].To);

  std::vector<TTile> tiles;
  for (const TYEncEntry& e : record.Entries())
    if (e.PCrc)
      tiles.push_back({e.Range, *e.PCrc});
  const std::uint32_t crc = record.Crc().value_or(0);
  std::uint32_t made = 0;
  at = 0;
  for (const std::size_t i : FindTiling(tiles, record.Size(), crc)) {
    Check(i < tiles.size() && tiles[i].Range.From == at);
    made = Crc32Combine(made, tiles[i].Crc, tiles[i].Range.To - at);
    at = tiles[i].Range.To;
  }
  Check(at == 0 || (at == record.Size() && made == crc));
  return 0;
}

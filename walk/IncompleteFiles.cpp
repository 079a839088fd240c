#include "walk/IncompleteFiles.h"

#include "decode/YEncRecord.h"

#include <algorithm>
#include <cctype>

namespace {

// Missing part numbers named at most; more are counted.
constexpr std::size_t NamedParts = 5;

bool StartsNoCase(std::string_view text, std::string_view start) {
  return text.size() >= start.size() &&
         std::equal(start.begin(), start.end(), text.begin(), [](char a, char b) {
           return std::tolower((unsigned char)a) == std::tolower((unsigned char)b);
         });
}

// The stem a PAR2 file names its files by: "holiday" of "holiday.par2",
// "holiday.mkv" of "holiday.mkv.vol03+04.par2".
std::string Stem(std::string title) {
  if (title.size() > 5 && StartsNoCase(title.substr(title.size() - 5), ".par2"))
    title.resize(title.size() - 5);
  const std::size_t vol = title.rfind(".vol");
  if (vol != std::string::npos && vol + 4 < title.size() &&
      title.find_first_not_of("0123456789+-", vol + 4) == std::string::npos)
    title.resize(vol);
  return title;
}

} // namespace

std::string TIncompleteFiles::PartsText(const TYEncRecord& Record) {
  const std::uint64_t total = Record.Total().value_or(0);
  if (total == 0)
    return std::to_string(Record.BytesReceived()) + " of " + std::to_string(Record.Size()) + " bytes";
  const std::vector<std::uint64_t>& held = Record.PartsHeld();
  std::vector<std::uint64_t> missing;
  std::uint64_t count = 0;
  for (std::uint64_t part = 1; part <= total; ++part)
    if (!std::binary_search(held.begin(), held.end(), part) && ++count <= NamedParts)
      missing.push_back(part);
  std::string text = std::to_string(total - std::min<std::uint64_t>(count, total)) + " of " +
                     std::to_string(total) + " parts";
  if (count == 0) // the parts are there and bytes are not: a part came short
    return text + "; " + std::to_string(Record.Size() - Record.BytesReceived()) + " bytes missing";
  text += count == 1 ? "; part " : "; parts ";
  for (std::size_t i = 0; i < missing.size(); ++i)
    text += (i == 0                                               ? ""
             : i + 1 == missing.size() && count == missing.size() ? " and "
                                                                  : ", ") +
            std::to_string(missing[i]);
  if (count > missing.size())
    text += " and " + std::to_string(count - missing.size()) + " more";
  return text + (count == 1 ? " is" : " are") + " not on the server";
}

std::string TIncompleteFiles::Suffix(std::size_t Count) {
  if (Count == 0)
    return {};
  return ": " + std::to_string(Count) + (Count == 1 ? " file incomplete" : " files incomplete");
}

std::vector<std::string> TIncompleteFiles::Short(const std::string& Title, std::int64_t Needed) {
  const std::string stem = Stem(Title);
  std::vector<std::string> names;
  for (auto& [name, why] : FFiles)
    if (StartsNoCase(name, stem) && (name.size() == stem.size() || name[stem.size()] == '.')) {
      why = "PAR2 needs " + std::to_string(Needed) + " more recovery blocks";
      names.push_back(name);
    }
  return names;
}

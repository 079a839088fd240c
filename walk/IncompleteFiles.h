#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class TYEncRecord;

// The files a walk leaves incomplete, with what each misses, so that its end
// says so: "holiday.mkv: 4 of 5 parts; part 5 is not on the server", and,
// once its PAR2 set proved too short, "holiday.mkv: PAR2 needs 122 more
// recovery blocks". A file a repair or a later walk completes leaves the
// list.
class TIncompleteFiles {
public:
  // What a yEnc file's record says it misses, once the walk has gone
  // through the group: "4 of 5 parts; part 5 is not on the server".
  static std::string PartsText(const TYEncRecord& Record);
  // ": 1 file incomplete", ": 2 files incomplete"; empty for none.
  static std::string Suffix(std::size_t Count);

  void Clear() { FFiles.clear(); }
  void Add(const std::string& Name, const std::string& Why) { FFiles[Name] = Why; }
  // A set Title ("holiday.par2", "holiday.mkv.vol0+1.par2") fell short by
  // Needed blocks: the files it names by their stem get the line that says
  // so, which is returned by name.
  std::vector<std::string> Short(const std::string& Title, std::int64_t Needed);
  // The file Name is whole now; true when it was listed.
  bool Completed(const std::string& Name) { return FFiles.erase(Name) > 0; }

  std::size_t Count() const { return FFiles.size(); }
  const std::map<std::string, std::string>& Files() const { return FFiles; }

private:
  std::map<std::string, std::string> FFiles; // what each misses, by name
};

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What a subject says of the file it carries, in the forms posters use:
// `"name.ext" yEnc (n/m)`, `name.ext (n/m)`, `name.ext [n/m]`,
// `[k/K] - "name.ext" yEnc (n/m)`, `Title - File k of K - "name.ext" ...`.
struct TPostSubject {
  // The quoted name; else the first text between " - " that ends in an
  // extension, else the first, each cut before " (n/m)", " [n/m]" or a
  // closing "yEnc". Empty for a reply.
  std::string Name;
  // The part number: the last "(n/m)" or "[n/m]" after the name, with
  // n <= m, so a date such as "(2024/12)" is none. Parts is 0 without one;
  // Part may be 0, as for the description of a set posted as "(00/12)".
  std::int64_t Part = 0;
  std::int64_t Parts = 0;
  // The file's place among the files posted together: "[k/K]", "(k/K)" or
  // "File k of K" before the name. Files is 0 without one.
  std::int64_t File = 0;
  std::int64_t Files = 0;
  // The same for every article of one post and different between posts:
  // with a file index, the subject before the name without k, so that the
  // files posted together (the PAR2 index among them) are one post; else the
  // subject without n, so that the parts of one file are. Empty for an
  // article of no post: a reply, or a subject with neither number.
  std::string Key;
};

TPostSubject ParseSubject(std::string_view Subject);

#pragma once

#include <string>
#include <string_view>
#include <vector>

// Which subjects a walk fetches, as a wildmat the way news servers read one:
// patterns separated by commas, where one that starts with "!" turns away
// what it matches and the last pattern that matches a subject decides; a
// subject that none matches is passed over. A pattern matches a subject when
// it matches the whole subject or the name of the file that the subject
// carries (see ParseSubject), so "*.png" takes "[3/7] - "beach.png" yEnc
// (1/2)". In a pattern "*" stands for any text, "?" for one character,
// "[...]" for one of the characters listed ("a-z" for a range; "^" first for
// none of them) and "\" takes the next character as it is. Blanks around a
// pattern do not count, letters match without regard to case, and an empty
// wildmat passes every subject.
class TSubjectFilter {
public:
  // Raises Exception "'<wildmat>' is not a valid wildmat: <why>".
  explicit TSubjectFilter(std::string_view Wildmat = {});

  bool Passes(std::string_view Subject) const;

private:
  struct TPattern {
    bool Negated = false;
    std::u32string Text;
  };
  std::vector<TPattern> FPatterns;
};

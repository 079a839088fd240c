#include "walk/SubjectFilter.h"

#include "platform/Exceptions.h"
#include "walk/PostSubject.h"

#include <QString>

#include <algorithm>

namespace {

// Subjects and patterns are compared as folded characters, so that "?" takes
// one character of a UTF-8 subject and case goes beyond ASCII.
std::u32string Folded(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size())).toCaseFolded().toStdU32String();
}

bool IsBlank(char32_t c) { return c == ' ' || c == '\t'; }

// Where the class that opens at text[open] closes: its "]", or the end of
// the text when it never does. A "]" right after "[" or "[^" is one of its
// characters.
std::size_t ClassEnd(const std::u32string& text, std::size_t open) {
  std::size_t at = open + 1;
  if (at < text.size() && text[at] == '^')
    ++at;
  if (at < text.size() && text[at] == ']')
    ++at;
  while (at < text.size() && text[at] != ']')
    at += text[at] == '\\' ? 2 : 1;
  return std::min(at, text.size());
}

// Whether c is one of the characters of the class at pattern[at]; at moves
// past the class.
bool InClass(const std::u32string& pattern, std::size_t& at, char32_t c) {
  const std::size_t end = ClassEnd(pattern, at);
  std::size_t i = at + 1;
  const bool negated = pattern[i] == '^';
  if (negated)
    ++i;
  auto character = [&] { return pattern[i] == '\\' ? pattern[++i] : pattern[i]; };
  bool found = false;
  while (i < end) {
    const char32_t low = character();
    char32_t high = low;
    if (i + 2 < end && pattern[i + 1] == '-') {
      i += 2;
      high = character();
    }
    found = found || (low <= c && c <= high);
    ++i;
  }
  at = end + 1;
  return found != negated;
}

// Whether c matches the item at pattern[at] ("?", a class, an escaped or a
// plain character); at moves past the item.
bool MatchesItem(const std::u32string& pattern, std::size_t& at, char32_t c) {
  switch (pattern[at]) {
  case '?':
    ++at;
    return true;
  case '[':
    return InClass(pattern, at, c);
  case '\\':
    ++at;
    [[fallthrough]];
  default:
    return pattern[at++] == c;
  }
}

// Backs up to the last "*" only: whatever followed an earlier one matched
// already, so no subject makes this take more than length times length steps.
bool Matches(const std::u32string& pattern, const std::u32string& subject) {
  constexpr std::size_t none = std::u32string::npos;
  std::size_t p = 0, s = 0, starP = none, starS = 0;
  while (s < subject.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starS = s;
      continue;
    }
    std::size_t next = p;
    if (p < pattern.size() && MatchesItem(pattern, next, subject[s])) {
      p = next;
      ++s;
      continue;
    }
    if (starP == none)
      return false;
    p = starP;
    s = ++starS;
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

Exception Malformed(std::string_view wildmat, const char* why) {
  return Exception("'" + std::string(wildmat) + "' is not a valid wildmat: " + why);
}

} // namespace

TSubjectFilter::TSubjectFilter(std::string_view Wildmat) {
  const std::u32string text = Folded(Wildmat);
  if (std::all_of(text.begin(), text.end(), IsBlank))
    return;
  std::size_t at = 0;
  auto skipBlanks = [&] {
    while (at < text.size() && IsBlank(text[at]))
      ++at;
  };
  while (true) {
    TPattern pattern;
    skipBlanks();
    if (at < text.size() && text[at] == '!') {
      pattern.Negated = true;
      ++at;
      skipBlanks();
    }
    const std::size_t start = at;
    std::size_t end = at; // past the last item that is no blank
    for (; at < text.size() && text[at] != ','; ++at) {
      bool blank = IsBlank(text[at]);
      if (text[at] == '\\') {
        if (++at == text.size())
          throw Malformed(Wildmat, "it ends in \\");
        blank = false;
      } else if (text[at] == '[') {
        at = ClassEnd(text, at);
        if (at == text.size())
          throw Malformed(Wildmat, "a [ is not closed by ]");
      }
      if (!blank)
        end = at + 1;
    }
    if (end == start)
      throw Malformed(Wildmat, "a pattern is empty");
    pattern.Text = text.substr(start, end - start);
    FPatterns.push_back(std::move(pattern));
    if (at == text.size())
      return;
    ++at; // the comma
  }
}

bool TSubjectFilter::Passes(std::string_view Subject) const {
  if (FPatterns.empty())
    return true;
  // A subject carries more than its file's name ("[3/7] - "holiday.mkv" yEnc
  // (12/40)"), and "*.mkv" is meant for the name.
  const std::u32string subject = Folded(Subject);
  const std::string name = ParseSubject(Subject).Name;
  const std::u32string folded = name.empty() || name == Subject ? std::u32string() : Folded(name);
  for (auto pattern = FPatterns.rbegin(); pattern != FPatterns.rend(); ++pattern)
    if (Matches(pattern->Text, subject) || (!folded.empty() && Matches(pattern->Text, folded)))
      return !pattern->Negated;
  return false;
}

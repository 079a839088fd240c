#include "walk/PostSubject.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace {

// A count in a subject is short; more digits than this are no count at all.
constexpr std::size_t MaxDigits = 9;
// The longest extension a name is taken to end in (".par2", ".jpeg", ".001").
constexpr std::size_t MaxExtension = 5;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
bool IsAlnum(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z'); }

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != prefix[i])
      return false;
  return true;
}

// A stretch of the subject: [Begin, End).
struct TSpan {
  std::size_t Begin = 0;
  std::size_t End = 0;
};

TSpan Trimmed(std::string_view text, TSpan span) {
  while (span.Begin < span.End && IsBlank(text[span.Begin]))
    ++span.Begin;
  while (span.End > span.Begin && IsBlank(text[span.End - 1]))
    --span.End;
  return span;
}

std::string_view Text(std::string_view text, TSpan span) {
  return text.substr(span.Begin, span.End - span.Begin);
}

// "(n/m)", "[n/m]" or "File n of m" in a subject.
struct TCount {
  TSpan Whole;
  TSpan First; // the digits of n
  std::int64_t Number = 0;
  std::int64_t Of = 0;
  bool Words = false; // "File n of m"
};

bool ReadNumber(std::string_view text, std::size_t& at, std::int64_t& value) {
  const std::size_t begin = at;
  value = 0;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    if (at - begin == MaxDigits)
      return false;
    value = value * 10 + (text[at] - '0');
  }
  return at > begin;
}

bool Expect(std::string_view text, std::size_t& at, std::string_view what) {
  if (!StartsNoCase(text.substr(at), what))
    return false;
  at += what.size();
  return true;
}

// The count that starts at text[at], if one does. n may not exceed m: one
// of a kind "(1/1)" and a set's description "(0/12)" are counts, a date
// "(2024/12)" is none.
std::optional<TCount> CountAt(std::string_view text, std::size_t at) {
  TCount count;
  count.Whole.Begin = at;
  const char open = text[at];
  const bool words = (open == 'F' || open == 'f') && (at == 0 || !IsAlnum(text[at - 1]));
  if (open != '(' && open != '[' && !words)
    return std::nullopt;
  if (!Expect(text, at, words ? "file " : std::string_view(&open, 1)))
    return std::nullopt;
  count.First.Begin = at;
  if (!ReadNumber(text, at, count.Number))
    return std::nullopt;
  count.First.End = at;
  if (!Expect(text, at, words ? " of " : "/") || !ReadNumber(text, at, count.Of))
    return std::nullopt;
  if (words ? at < text.size() && IsAlnum(text[at]) : !Expect(text, at, open == '(' ? ")" : "]"))
    return std::nullopt;
  count.Whole.End = at;
  count.Words = words;
  if (count.Of < 1 || count.Number > count.Of)
    return std::nullopt;
  return count;
}

std::vector<TCount> Counts(std::string_view text) {
  std::vector<TCount> counts;
  for (std::size_t at = 0; at < text.size(); ++at)
    if (std::optional<TCount> count = CountAt(text, at)) {
      counts.push_back(*count);
      at = count->Whole.End - 1;
    }
  return counts;
}

bool LooksLikeFileName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot - 1 > MaxExtension)
    return false;
  const std::string_view extension = name.substr(dot + 1);
  if (extension.empty())
    return false;
  for (const char c : extension)
    if (!IsAlnum(c))
      return false;
  return true;
}

bool FollowedByYEnc(std::string_view text, std::size_t at) {
  while (at < text.size() && IsBlank(text[at]))
    ++at;
  return StartsNoCase(text.substr(at), "yenc");
}

// The name in quotes, quotes included: the one before "yEnc", else the first
// that ends in an extension, so a quoted title is passed over.
std::optional<TSpan> QuotedName(std::string_view text) {
  std::vector<TSpan> quoted;
  for (std::size_t open = text.find('"'); open != std::string_view::npos;) {
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos)
      break;
    if (const TSpan inside = Trimmed(text, {open + 1, close}); inside.End > inside.Begin)
      quoted.push_back({open, close + 1});
    open = text.find('"', close + 1);
  }
  for (const TSpan& q : quoted)
    if (FollowedByYEnc(text, q.End))
      return q;
  for (const TSpan& q : quoted)
    if (LooksLikeFileName(Text(text, Trimmed(text, {q.Begin + 1, q.End - 1}))))
      return q;
  return std::nullopt;
}

// The name where none is quoted, among the stretches between " - ": a
// stretch that is only a file index ("[3/7]", "File 3 of 7") names nothing,
// an index in front is not part of the name, and the name ends before a
// bracketed count or a closing "yEnc". The first stretch that ends in an
// extension names the file, else the first one. Stretches and counts are
// both in order, so a long subject costs its length, not its square.
std::optional<TSpan> UnquotedName(std::string_view text, const std::vector<TCount>& counts) {
  std::optional<TSpan> first;
  std::size_t next = 0; // the first count not before the stretch
  for (std::size_t begin = 0; begin <= text.size();) {
    const std::size_t dash = text.find(" - ", begin);
    TSpan span = Trimmed(text, {begin, dash == std::string_view::npos ? text.size() : dash});
    begin = dash == std::string_view::npos ? text.size() + 1 : dash + 3;
    while (next < counts.size() && counts[next].Whole.Begin < span.Begin)
      ++next;
    if (next < counts.size() && counts[next].Whole.Begin == span.Begin)
      span = Trimmed(text, {std::min(counts[next++].Whole.End, span.End), span.End});
    for (std::size_t i = next; i < counts.size() && counts[i].Whole.Begin < span.End; ++i)
      if (!counts[i].Words && IsBlank(text[counts[i].Whole.Begin - 1])) {
        span = Trimmed(text, {span.Begin, counts[i].Whole.Begin});
        break;
      }
    if (span.End - span.Begin > 5 && StartsNoCase(text.substr(span.End - 5), " yenc"))
      span = Trimmed(text, {span.Begin, span.End - 5});
    if (span.End == span.Begin)
      continue;
    if (LooksLikeFileName(Text(text, span)))
      return span;
    if (!first)
      first = span;
  }
  return first;
}

std::string Without(std::string_view text, TSpan cut, std::size_t end) {
  return std::string(text.substr(0, cut.Begin)).append(text.substr(cut.End, end - cut.End));
}

} // namespace

TPostSubject ParseSubject(std::string_view Subject) {
  const std::string_view text = Text(Subject, Trimmed(Subject, {0, Subject.size()}));
  TPostSubject post;
  // A reply talks about a post; it is none of its parts.
  if (StartsNoCase(text, "re:"))
    return post;
  const std::vector<TCount> counts = Counts(text);
  TSpan name;
  if (const std::optional<TSpan> quoted = QuotedName(text)) {
    name = *quoted;
    post.Name = Text(text, Trimmed(text, {name.Begin + 1, name.End - 1}));
  } else if (const std::optional<TSpan> unquoted = UnquotedName(text, counts)) {
    name = *unquoted;
    post.Name = Text(text, name);
  }
  const TCount* index = nullptr;
  const TCount* part = nullptr;
  for (const TCount& count : counts) {
    if (count.Whole.End <= name.Begin)
      index = &count;
    else if (!count.Words && count.Whole.Begin >= name.End)
      part = &count;
  }
  if (part) {
    post.Part = part->Number;
    post.Parts = part->Of;
  }
  if (index) {
    post.File = index->Number;
    post.Files = index->Of;
  }
  if (index && !post.Name.empty())
    post.Key = Without(text, index->First, name.Begin);
  else if (part)
    post.Key = Without(text, part->First, text.size());
  return post;
}

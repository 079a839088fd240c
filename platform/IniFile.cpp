#include "platform/IniFile.h"

#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One line of the file: its text and the line end it had ("\r\n", "\n" or
// nothing on a last line), so untouched lines are written back byte for byte.
struct TLine {
  std::string Text;
  std::string End;
};

std::vector<TLine> SplitLines(const std::string& data) {
  std::vector<TLine> lines;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::size_t lf = data.find('\n', pos);
    if (lf == std::string::npos) {
      lines.push_back({data.substr(pos), ""});
      break;
    }
    std::size_t end = lf;
    if (end > pos && data[end - 1] == '\r')
      --end;
    lines.push_back({data.substr(pos, end - pos), data.substr(end, lf + 1 - end)});
    pos = lf + 1;
  }
  return lines;
}

// The lines of the file; none when it does not exist. Raises EInOutError when
// it exists and cannot be read.
std::vector<TLine> LoadLines(const std::string& fileName) {
  if (!FileExists(fileName))
    return {};
  return SplitLines(ReadFile(fileName));
}

// A file that cannot be read reads like a missing one.
std::vector<TLine> LoadLinesForReading(const std::string& fileName) {
  try {
    return LoadLines(fileName);
  } catch (const EInOutError&) {
    return {};
  }
}

std::string_view TrimView(std::string_view s) {
  std::size_t first = 0, last = s.size();
  while (first < last && (s[first] == ' ' || s[first] == '\t'))
    ++first;
  while (last > first && (s[last - 1] == ' ' || s[last - 1] == '\t'))
    --last;
  return s.substr(first, last - first);
}

// The name of a "[name]" header line, or nothing for other lines.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = TrimView(line);
  if (line.size() < 2 || line.front() != '[')
    return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos)
    return std::nullopt;
  return TrimView(line.substr(1, close - 1));
}

bool IsEntry(std::string_view line) {
  line = TrimView(line);
  return !line.empty() && line.front() != ';';
}

// The key of an entry line, or nothing when it has no "=".
std::optional<std::string_view> KeyOf(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos)
    return std::nullopt;
  return TrimView(line.substr(0, eq));
}

// Index range [first, last) of the lines of a section's body, header excluded.
struct TSection {
  std::size_t Header, First, Last;
};

std::optional<TSection> FindSection(const std::vector<TLine>& lines, const std::string& section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i].Text);
    if (!name || !SameText(*name, section))
      continue;
    std::size_t last = i + 1;
    while (last < lines.size() && !SectionName(lines[last].Text))
      ++last;
    return TSection{i, i + 1, last};
  }
  return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<TLine>& lines, const TSection& s,
                                   const std::string& key) {
  for (std::size_t i = s.First; i < s.Last; ++i) {
    if (!IsEntry(lines[i].Text))
      continue;
    const auto k = KeyOf(lines[i].Text);
    if (k && SameText(*k, key))
      return i;
  }
  return std::nullopt;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += std::size_t(n);
  }
  return true;
}

// A file in a folder we may not write (a settings file beside an installed
// program) can still be updated through the file itself. Only used when no
// temporary file can be made beside it: a failure here leaves it damaged.
bool RewriteInPlace(const std::string& fileName, const std::string& data) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = WriteAll(fd, data) && ::ftruncate(fd, off_t(data.size())) == 0;
  ok = ::fsync(fd) == 0 && ok;
  return ::close(fd) == 0 && ok;
}

// Writes data beside fileName and renames it over fileName, so a reader never
// sees half a file and a failure leaves the old one whole. The new file keeps
// the old one's permissions: a file the user keeps private stays private.
bool ReplaceFile(const std::string& fileName, const std::string& data) {
  struct stat old {};
  const bool exists = ::stat(fileName.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::string temp = fileName + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0)
    return exists && RewriteInPlace(fileName, data);
  bool ok = ::fchmod(fd, exists ? old.st_mode & 07777 : 0644) == 0 && WriteAll(fd, data);
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), fileName.c_str()) == 0;
  if (!ok)
    ::unlink(temp.c_str());
  return ok;
}

} // namespace

std::string IniReadString(const std::string& fileName, const std::string& section, const std::string& key,
                          const std::string& def) {
  return TIniDocument(fileName).ReadString(section, key, def);
}

void IniWriteString(const std::string& fileName, const std::string& section, const std::string& key,
                    const std::string& value) {
  // A file that exists but cannot be read is left alone: rewriting it from
  // nothing would keep only the one key.
  std::vector<TLine> lines;
  try {
    lines = LoadLines(fileName);
  } catch (const EInOutError&) {
    throw EInOutError("Unable to write to " + fileName);
  }
  const std::string entry = key + "=" + value;
  const auto s = FindSection(lines, section);
  if (s) {
    if (const auto i = FindKey(lines, *s, key)) {
      lines[*i].Text = entry;
    } else {
      // After the last entry of the section, before the blank lines that
      // separate it from the next one.
      std::size_t at = s->Last;
      while (at > s->First && TrimView(lines[at - 1].Text).empty())
        --at;
      if (at > 0 && lines[at - 1].End.empty())
        lines[at - 1].End = "\r\n";
      lines.insert(lines.begin() + std::ptrdiff_t(at), TLine{entry, "\r\n"});
    }
  } else {
    if (!lines.empty()) {
      if (lines.back().End.empty())
        lines.back().End = "\r\n";
      if (!TrimView(lines.back().Text).empty())
        lines.push_back({"", "\r\n"});
    }
    lines.push_back({"[" + section + "]", "\r\n"});
    lines.push_back({entry, "\r\n"});
  }
  std::string data;
  for (const auto& line : lines)
    data += line.Text + line.End;
  if (!ReplaceFile(fileName, data))
    throw EInOutError("Unable to write to " + fileName);
}

std::vector<std::string> IniReadSection(const std::string& fileName, const std::string& section) {
  return TIniDocument(fileName).ReadSection(section);
}

TIniDocument::TIniDocument(const std::string& FileName) {
  std::vector<TLine> lines = LoadLinesForReading(FileName);
  FLines.reserve(lines.size());
  std::pair<std::size_t, std::size_t>* open = nullptr; // the section being read, when it counts
  for (TLine& line : lines) {
    const std::size_t at = FLines.size();
    if (const auto name = SectionName(line.Text)) {
      if (open)
        open->second = at;
      // A later section of the same name is never read, as in a keyed read.
      const auto [it, added] = FSections.try_emplace(UpperCase(*name), at + 1, at + 1);
      open = added ? &it->second : nullptr;
    }
    FLines.push_back(std::move(line.Text));
  }
  if (open)
    open->second = FLines.size();
}

const std::pair<std::size_t, std::size_t>* TIniDocument::Find(const std::string& Section) const {
  const auto it = FSections.find(UpperCase(Section));
  return it == FSections.end() ? nullptr : &it->second;
}

std::string TIniDocument::ReadString(const std::string& Section, const std::string& Key,
                                     const std::string& Def) const {
  const auto* s = Find(Section);
  if (!s)
    return Def;
  for (std::size_t i = s->first; i < s->second; ++i) {
    const std::string& text = FLines[i];
    const auto k = IsEntry(text) ? KeyOf(text) : std::nullopt;
    if (!k || !SameText(*k, Key))
      continue;
    std::string value(TrimView(std::string_view(text).substr(text.find('=') + 1)));
    if (value.size() > IniValueCapacity)
      value.resize(IniValueCapacity);
    return value;
  }
  return Def;
}

std::vector<std::string> TIniDocument::ReadSection(const std::string& Section) const {
  std::vector<std::string> entries;
  if (const auto* s = Find(Section))
    for (std::size_t i = s->first; i < s->second; ++i)
      if (IsEntry(FLines[i]))
        entries.push_back(FLines[i]);
  return entries;
}

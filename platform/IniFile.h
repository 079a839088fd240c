#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Initialization files: "[section]" header lines and "key=value" entry lines,
// CR LF on write, CR LF or LF on read. Section and key names compare without
// regard to case. Nothing keeps a file open between two calls.

// A value is read through a 1024-byte buffer, so at most 1023 characters.
constexpr std::size_t IniValueCapacity = 1023;

// The value of key in section; def when the file, section or key is missing
// (a file that cannot be read counts as missing).
// A key present with an empty value gives the empty text.
std::string IniReadString(const std::string& fileName, const std::string& section, const std::string& key,
                          const std::string& def);

// Sets key in section to value: updates the first such entry in place and
// keeps every other line byte for byte; adds a missing key at the end of its
// section; adds a missing section at the end of the file, or creates the file.
// The file is replaced through a temporary file, so a failed write leaves the
// old file whole; in a folder where no temporary file can be made, an existing
// file is rewritten in place. A file that exists but cannot be read is left
// alone. A failure raises EInOutError "Unable to write to <fileName>".
void IniWriteString(const std::string& fileName, const std::string& section, const std::string& key,
                    const std::string& value);

// Every entry line of section in file order, exactly as written ("S=news"),
// whatever the section's size: a list read short would be saved short.
// Blank lines and comment lines (starting with ';') are not entries.
std::vector<std::string> IniReadSection(const std::string& fileName, const std::string& section);

// A file read once and asked as often as needed: what IniReadString and
// IniReadSection give, with one read of the file for all the questions and
// each section found at once, however many the file holds (a section per
// server). Later changes to the file are not seen.
class TIniDocument {
public:
  explicit TIniDocument(const std::string& FileName);

  std::string ReadString(const std::string& Section, const std::string& Key, const std::string& Def) const;
  std::vector<std::string> ReadSection(const std::string& Section) const;

private:
  // The lines [first, last) of a section's body: the first section of its
  // name, as a keyed read finds it.
  const std::pair<std::size_t, std::size_t>* Find(const std::string& Section) const;

  std::vector<std::string> FLines;
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> FSections; // by upper-case name
};

#pragma once

// File names that a folder accepts. Header only and free of Qt, so the codec
// uses the same rule as the session.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <unistd.h>

// The longest name, in bytes, that a file in Folder may have.
inline std::size_t NameMax(const std::string& Folder) {
  const long max = ::pathconf(Folder.empty() ? "." : Folder.c_str(), _PC_NAME_MAX);
  return max > 0 ? std::size_t(max) : 255;
}

// Name with Tag (" (2)", or nothing) put before its extension, cut to at most
// Limit bytes. The extension stays; what is cut is the end of the rest, at
// the start of a UTF-8 character, so no character is left half. A name
// whose extension leaves no room is cut as a whole, the tag at its end.
inline std::string FitName(std::string_view Name, std::size_t Limit, std::string_view Tag = {}) {
  const std::size_t dot = Name.rfind('.');
  std::string_view stem = Name, extension;
  if (dot != 0 && dot != Name.npos && Name.size() - dot + Tag.size() < Limit) {
    stem = Name.substr(0, dot);
    extension = Name.substr(dot);
  }
  const std::size_t room = Limit - std::min(Limit, Tag.size() + extension.size());
  if (stem.size() > room) {
    std::size_t cut = room;
    // A continuation byte is 10xxxxxx; a character has at most three.
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80; ++i)
      --cut;
    stem = stem.substr(0, cut);
  }
  return std::string(stem) + std::string(Tag) + std::string(extension);
}

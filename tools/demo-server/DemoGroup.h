#pragma once

#include "tests/support/ScriptedNewsServer.h"
#include "tools/demo-server/DemoFiles.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char DemoGroupName[] = "vostel.demo";
inline constexpr std::uint16_t DemoPort = 11119;

// The demo group: a picture uuencoded, an archive in a begin-base64 block, a
// text file and a second picture in a MIME multipart article, and two short
// notes in plain text. The attachment articles have between 100 and 1000
// lines, the notes fewer, so that the usual range fetches the one and skips
// the other.
struct TDemoGroup {
  std::vector<TDemoFile> Files; // every attachment, as posted
  std::vector<TNewsArticle> Articles;
};

// Needs a QGuiApplication for the pictures.
TDemoGroup MakeDemoGroup();

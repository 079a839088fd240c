#pragma once

#include <optional>
#include <string>
#include <vector>

// What vostel-walk was asked to do. An option not given is empty and takes
// the settings file's value.
struct TWalkOptions {
  std::string Settings;               // --settings FILE
  std::string Folder;                 // --folder DIR: the download folder
  std::string MinLines;               // --min-lines N
  std::string MaxLines;               // --max-lines N
  std::optional<std::string> Subject; // --subject PATTERN; an empty one passes all
  std::string Connections;            // --connections N
  bool Json = false;                  // --json
  bool Help = false;                  // --help
  bool Version = false;               // --version
  std::string Server;
  std::string Group;
};

// Reads the arguments after the program's name. Options come as "--name
// value" or "--name=value", anywhere before a "--"; SERVER and GROUP are the
// two others. Raises Exception with what is wrong, for the usage line to
// follow.
TWalkOptions ParseWalkOptions(const std::vector<std::string>& Arguments);

// The usage line and what --help prints.
extern const char* const WalkUsage;
extern const char* const WalkHelp;

#include "cli/WalkOptions.h"

#include "platform/Exceptions.h"

#include <string_view>

const char* const WalkUsage = "Usage: vostel-walk [OPTION]... SERVER GROUP";

const char* const WalkHelp = R"(Usage: vostel-walk [OPTION]... SERVER GROUP
Walk GROUP on the news server SERVER once, as a Vostel decode window does,
without a window: from where the last walk of either stopped to the group's
last article, fetching and decoding the articles in range.

SERVER is an entry as the server list of the settings file writes it
(news.example.com, news.example.com:119, nntps://me@news.example.com); its
connections, requests in flight, pacing and compression come from its section
of the settings file, its password from Vostel's password store.

Options (each takes the place of the settings file's value):
  --settings FILE     read FILE instead of the VOSTEL.INI the installed
                      program uses
  --folder DIR        download below DIR instead of the settings' path; the
                      session folder is DIR/SERVER/GROUP/
  --min-lines N       fetch articles of at least N lines
  --max-lines N       and of at most N lines (one not above the minimum
                      stands for the minimum + 50000)
  --subject PATTERN   fetch only subjects that the wildmat PATTERN passes
                      (*.jpg,!*sample*); an empty PATTERN passes all
  --connections N     connections to the server, 1 to 50
  --json              one JSON object a line for each event
  --help              print this help and exit
  --version           print the version and exit

On a terminal one progress line is redrawn in place: the file being received,
the bytes received, the speed, the articles walked and the time left.
Otherwise, or with --json, each event is a line of its own.

SIGINT or SIGTERM (or SIGHUP) stops the walk once the article being handed
over is done, keeping the position and the part file of an unfinished file;
a second one stops at once.

Exit status:
  0  the walk reached the group's end (files left incomplete are listed)
  1  the walk stopped for an error, or another Vostel walks the group
  2  bad arguments or settings
  3  the server wants a log-in it was not given, or refused it
  4  interrupted by a signal
)";

namespace {

// The options that take a value, and where it goes.
struct TValueOption {
  std::string_view Name;
  std::string TWalkOptions::*Field;
};
constexpr TValueOption ValueOptions[] = {{"--settings", &TWalkOptions::Settings},
                                         {"--folder", &TWalkOptions::Folder},
                                         {"--min-lines", &TWalkOptions::MinLines},
                                         {"--max-lines", &TWalkOptions::MaxLines},
                                         {"--connections", &TWalkOptions::Connections}};

} // namespace

TWalkOptions ParseWalkOptions(const std::vector<std::string>& Arguments) {
  TWalkOptions options;
  std::vector<std::string> operands;
  bool optionsEnd = false;
  for (std::size_t i = 0; i < Arguments.size(); ++i) {
    const std::string& argument = Arguments[i];
    if (optionsEnd || argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnd = true;
      continue;
    }
    const std::size_t eq = argument.find('=');
    const std::string name = argument.substr(0, eq);
    // The value given after "=" or as the next argument.
    const auto value = [&]() -> std::string {
      if (eq != std::string::npos)
        return argument.substr(eq + 1);
      if (i + 1 >= Arguments.size())
        throw Exception("option " + name + " needs a value");
      return Arguments[++i];
    };
    if (name == "--help" || name == "-h") {
      options.Help = true;
    } else if (name == "--version") {
      options.Version = true;
    } else if (name == "--json" && eq == std::string::npos) {
      options.Json = true;
    } else if (name == "--subject") {
      options.Subject = value();
    } else {
      bool known = false;
      for (const TValueOption& option : ValueOptions)
        if (name == option.Name) {
          options.*option.Field = value();
          known = true;
        }
      if (!known)
        throw Exception("unknown option " + argument);
    }
  }
  if (options.Help || options.Version)
    return options;
  if (operands.size() != 2)
    throw Exception(operands.size() < 2 ? "SERVER and GROUP are needed" : "too many arguments");
  options.Server = operands[0];
  options.Group = operands[1];
  if (options.Server.empty() || options.Group.empty())
    throw Exception("SERVER and GROUP cannot be empty");
  return options;
}

#include "BenchSetup.h"

#include "PlainReader.h"

#include <QString>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

std::string Env(const char* Name, const char* Default) {
  return qEnvironmentVariableIsEmpty(Name) ? Default : qEnvironmentVariable(Name).toStdString();
}

TSpread Spread(std::vector<double> Values) {
  if (Values.empty())
    return {};
  std::sort(Values.begin(), Values.end());
  return {Values[Values.size() / 2], Values.front(), Values.back()};
}

double CpuOf(long Pid, bool Children) {
  std::ifstream stat("/proc/" + std::to_string(Pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t at = text.rfind(')');
  if (Pid <= 0 || at == std::string::npos)
    return 0;
  std::istringstream fields(text.substr(at + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) // state .. cmajflt: fields 3 to 13
    fields >> skip;
  double user = 0, system = 0, childUser = 0, childSystem = 0;
  fields >> user >> system >> childUser >> childSystem;
  return (user + system + (Children ? childUser + childSystem : 0)) / double(::sysconf(_SC_CLK_TCK));
}

bool OpenInnGroup(const char* Bench, const char* Wanted, const char* MinLines, const char* MaxLines,
                  TInnGroup& Group) {
  if (qEnvironmentVariableIsEmpty("INN_GROUP")) {
    std::fprintf(stderr, "%s: set INN_GROUP (and INN_SERVER) to %s\n", Bench, Wanted);
    return false;
  }
  Group.Server = Env("INN_SERVER", "127.0.0.1:119");
  Group.Group = Env("INN_GROUP", "");
  Group.MinLines = Env("INN_MIN_LINES", MinLines);
  Group.MaxLines = Env("INN_MAX_LINES", MaxLines);
  const std::size_t colon = Group.Server.rfind(':');
  std::string error;
  Group.Articles = TPlainReader(Group.Server.substr(0, colon),
                                std::uint16_t(std::stoi(Group.Server.substr(colon + 1))), Group.Group)
                       .InRange(std::stoll(Group.MinLines), std::stoll(Group.MaxLines), error);
  if (Group.Articles.empty()) {
    std::fprintf(stderr, "%s: no article of %s to %s lines in %s on %s %s\n", Bench, Group.MinLines.c_str(),
                 Group.MaxLines.c_str(), Group.Group.c_str(), Group.Server.c_str(), error.c_str());
    return false;
  }
  return true;
}

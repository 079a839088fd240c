#include "session/ServerAddress.h"

#include <string_view>

namespace {

bool IsPortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0')
    return false;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  return value <= 65535;
}

} // namespace

TServerAddress SplitServerAddress(const std::string& Server) {
  const std::size_t colon = Server.rfind(':');
  if (colon == std::string::npos || !IsPortNumber(std::string_view(Server).substr(colon + 1)))
    return {Server};
  return {Server.substr(0, colon), Server.substr(colon + 1)};
}

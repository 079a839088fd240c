#include "walk/ServerAddress.h"

#include "platform/Convert.h"

#include <string_view>

namespace {

void SplitPort(std::string_view text, TServerAddress& address) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || !IsPortNumber(text.substr(colon + 1))) {
    address.Host = text;
    return;
  }
  address.Host = text.substr(0, colon);
  address.Port = text.substr(colon + 1);
}

// The length of the entry's scheme with its "://", 0 when it has none;
// Tls tells which one.
std::size_t SchemeLength(std::string_view entry, bool& Tls) {
  for (const bool tls : {true, false}) {
    const std::string_view scheme = tls ? "nntps://" : "nntp://";
    if (entry.size() >= scheme.size() && SameText(entry.substr(0, scheme.size()), scheme)) {
      Tls = tls;
      return scheme.size();
    }
  }
  return 0;
}

} // namespace

TServerAddress SplitServerAddress(const std::string& Server) {
  TServerAddress address;
  const std::size_t scheme = SchemeLength(Server, address.Tls);
  if (scheme == 0) {
    SplitPort(Server, address);
    return address;
  }
  if (address.Tls)
    address.Port = "563";
  std::string_view rest = std::string_view(Server).substr(scheme);
  rest = rest.substr(0, rest.find('/'));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    address.User = rest.substr(0, at);
    rest.remove_prefix(at + 1);
  }
  SplitPort(rest, address);
  return address;
}

std::string ServerShownName(const std::string& Server) {
  bool tls = false;
  const std::size_t scheme = SchemeLength(Server, tls);
  if (scheme == 0)
    return Server;
  const std::size_t end = Server.find('/', scheme);
  const std::size_t at = Server.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < scheme)
    return Server;
  return Server.substr(0, scheme) + Server.substr(at + 1);
}

std::string ServerFolderName(const std::string& Server) {
  std::string name = Server;
  for (char& c : name)
    if (c == '/')
      c = '_';
  if (name.find_first_not_of('.') == std::string::npos)
    name.assign(name.size(), '_');
  return name;
}

#include "settings/ConfigChecks.h"

#include "platform/Convert.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Forms[] = "write host, host:port or nntps://[user@]host[:port]";

// Letters, digits, "-", "_" and dots between parts that are not empty;
// bytes beyond ASCII are left to the name lookup (international names).
std::optional<std::string> HostFault(std::string_view host) {
  if (host.empty())
    return "the host name is missing";
  for (const char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.')
      continue;
    if (c == ' ')
      return std::string("a space cannot be part of a host name");
    return "'" + std::string(1, c) + "' cannot be part of a host name";
  }
  if (host.front() == '.' || host.find("..") != std::string_view::npos)
    return std::string("the host name has an empty part between dots");
  return std::nullopt;
}

std::optional<std::string> HostPortFault(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos)
    return HostFault(text);
  if (!IsPortNumber(text.substr(colon + 1)))
    return "the port must be a number from 1 to 65535, not '" + std::string(text.substr(colon + 1)) + "'";
  return HostFault(text.substr(0, colon));
}

} // namespace

std::optional<std::string> ServerEntryFault(std::string_view Entry) {
  if (Entry.empty())
    return "the entry is empty: " + std::string(Forms);
  const std::size_t scheme = Entry.find("://");
  if (scheme == std::string_view::npos) {
    if (Entry.find('@') != std::string_view::npos)
      return std::string("a user name goes with nntps://, as in nntps://user@host");
    return HostPortFault(Entry);
  }
  const std::string_view name = Entry.substr(0, scheme);
  if (!SameText(name, "nntps") && !SameText(name, "nntp"))
    return "'" + std::string(name) + "://' is no news server's scheme: " + Forms;
  std::string_view rest = Entry.substr(scheme + 3);
  if (const std::size_t slash = rest.find('/'); slash != std::string_view::npos)
    return "nothing may follow the host and port ('" + std::string(rest.substr(slash)) + "')";
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view user = rest.substr(0, at);
    if (user.empty())
      return std::string("the user name before '@' is empty");
    if (user.find(':') != std::string_view::npos)
      return std::string("the password does not go into the entry: select the server and set it below");
    rest.remove_prefix(at + 1);
  }
  return HostPortFault(rest);
}

std::optional<std::size_t> RepeatedEntry(const std::vector<std::string>& Entries) {
  for (std::size_t i = 1; i < Entries.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (SameText(Entries[i], Entries[j]))
        return i;
  return std::nullopt;
}

std::optional<std::string> DownloadPathFault(const std::string& Path) {
  std::string folder = Path;
  while (folder.size() > 1 && folder.back() == '/')
    folder.pop_back();
  // Up to the nearest part of the path that exists; a file in the way stops
  // there too.
  struct stat info {};
  bool exists = true;
  while (::lstat(folder.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR)
      return "cannot reach " + folder + " (" + std::strerror(errno) + ")";
    exists = false;
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  }
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return folder + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return (exists ? "cannot write in " : "cannot make folders in ") + folder + " (" + std::strerror(errno) +
           ")";
  return std::nullopt;
}

#pragma once

#include <string>

// Where a server entry of the settings points. An entry is written
//   host  or  host:port                      plain NNTP, as always
//   nntp://[user@]host[:port]                plain NNTP
//   nntps://[user@]host[:port]               TLS, port 563 unless given
// with a host name or a dotted address. The password is never part of an
// entry: it lives in the password store, under the entry as written.
struct TServerAddress {
  std::string Host;
  std::string Port = "nntp";
  bool Tls = false;
  std::string User; // empty: no log-in known
};

// "news.example" connects to the service "nntp"; "127.0.0.1:1119" to port 1119.
// A text after the last ":" that is no port number (1 to 65535) stays part of
// the host, so the name lookup reports it. The scheme is matched without
// regard to case; the user is what comes before the last "@", and anything
// from a "/" after the host on is not part of the address.
TServerAddress SplitServerAddress(const std::string& Server);

// The entry as the window shows and logs it: without the user.
std::string ServerShownName(const std::string& Server);

// The name of the entry's folder in the download path: the entry as written,
// with every "/" made "_" ("nntps://news.example" gives "nntps:__news.example")
// and a name of dots only made underscores, so that it is one folder inside
// the download path. "host" and "host:port" keep the folders they always had.
std::string ServerFolderName(const std::string& Server);

#pragma once

#include <string>

// Where a server entry of the settings points. An entry is a host name or a
// dotted address, optionally followed by ":" and a port number.
struct TServerAddress {
  std::string Host;
  std::string Port = "nntp";
};

// "news.example" connects to the service "nntp"; "127.0.0.1:1119" to port 1119.
// A text after the last ":" that is no port number (1 to 65535) stays part of
// the host, so the name lookup reports it.
TServerAddress SplitServerAddress(const std::string& Server);

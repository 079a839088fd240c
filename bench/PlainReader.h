#pragma once

// What a link lets through, without a decode window: a plain loop of its
// own over raw sockets fetches article bodies over several connections,
// each with a number of BODY requests in flight (1 = one at a time), sharing
// the articles out in order as each connection takes more. It keeps no text:
// it only finds where each reply ends, and, given a sink, writes what it
// receives there as it comes (the least a reader that stores does).

#include <cstdint>
#include <string>
#include <vector>

struct TPlainRead {
  double Seconds = 0;      // every connection in the group to the last body's end
  std::uint64_t Bytes = 0; // of the replies, as they came over the link
  std::int64_t Bodies = 0;
  std::string Error; // empty when every body came
};

class TPlainReader {
public:
  TPlainReader(std::string Host, std::uint16_t Port, std::string Group)
      : FHost(std::move(Host)), FPort(Port), FGroup(std::move(Group)) {}

  // The articles of the group whose Lines: lies from MinLines to MaxLines,
  // by the overview; empty (and Error set) when it cannot be read.
  std::vector<std::int64_t> InRange(std::int64_t MinLines, std::int64_t MaxLines, std::string& Error) const;
  TPlainRead Read(const std::vector<std::int64_t>& Articles, int Connections, int Depth) const;
  // A file that every read writes the replies to, truncated at each read;
  // empty (the default) for none.
  void SetSink(std::string Path) { FSink = std::move(Path); }
  // The median time a DATE takes to be answered, in ms; 0 when it cannot be.
  double RoundTripMs() const;

private:
  std::string FHost;
  std::uint16_t FPort;
  std::string FGroup;
  std::string FSink;
};

#pragma once

// What the fetcher's source files (ArticleFetcher, ArticleFetcherConnections,
// ArticleFetcherReplies, ArticleFetcherFill) share beyond the class: one
// connection of the pool.

#include "walk/ArticleFetcher.h"
#include "walk/WalkNumbers.h"

#include <QTimer>

#include <cstdint>
#include <deque>
#include <vector>

struct TArticleFetcher::TConnection {
  int Number = 0; // 1 for the first, as the log shows it
  TNntpCli Nntp;
  enum TPhase : std::uint8_t { Down, Connecting, Group, LogIn, Ready, Retired } Phase = Down;
  // A request whose end has not come: an article's, the overview of the
  // block Number..Last, or the STAT or NEXT of a seek after Number.
  struct TSent {
    std::int64_t Number;
    std::int64_t Last;
    bool Scan;
    bool Alone; // went out one request at a time
    bool Seek = false;
    bool Proven = false; // a later reply on the connection fitted its request
  };
  std::deque<TSent> Sent;      // in the order asked
  TArticle* Current = nullptr; // whose reply is being read
  bool Scanning = false;       // the reply being read is the overview's of ScanFirst..ScanLast
  std::int64_t ScanFirst = 0;
  std::int64_t ScanLast = 0;
  bool ScanChecked = false; // a line outside the block is another request's
  bool ScanInBlock = false; // a line of the block has come
  bool ScanStray = false;   // and one outside it
  // The articles refused since the last reply that fitted its request, not
  // handed over.
  std::vector<std::int64_t> Unproven;
  bool Stood = false;      // has had the group selected since the start
  bool NeedsLogIn = false; // answered 480: log in once nothing is in flight
  bool LoggedIn = false;
  bool Selected = false; // the group is selected
  bool Cut = false;      // closed on a line too long: the first request cut is passed over
  // A seek's NEXT goes out behind its STAT, and nothing behind the NEXT: the
  // number it names is read from the client once it has ended.
  enum TSeekStep : std::uint8_t { NoSeek, NextDue, NextOut } Seek = NoSeek;
  std::uint16_t StatError = 0; // of the seek's STAT, once ended
  bool StatAgain = false;      // and whether that means asking again
  // Compression that did not pay: the connection comes again plain for the
  // rest of the walk (Plain) once what it has out has ended (GoingPlain:
  // nothing more goes out on it meanwhile). What compression saves is
  // weighed on the bodies only: EndBytes and EndLink are the client's counts
  // as the last request ended, BodyBytes and BodyLink what the bodies since
  // the last weighing brought, as read and over the link. Until a stretch
  // of bodies has been found to shrink (Weighed) they go one at a time.
  bool Plain = false;
  bool GoingPlain = false;
  bool Weighed = false;
  std::int64_t EndBytes = 0, EndLink = 0, BodyBytes = 0, BodyLink = 0;
  int Tries = 0;
  QTimer Reconnect; // the wait before the next try
  QTimer Pace;      // the gap before the next request
};

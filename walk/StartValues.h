#pragma once

#include <string>
#include <vector>

// A server a decode window asks for the articles its own server lacks, with
// what it needs to connect: texts as in IStartValues.
struct TFillServer {
  std::string Entry;
  std::string Password;
  std::string Connections;
  std::string RequestsInFlight;
  std::string Pacing;
  bool Compression = true;
};

// What a decode window reads from the main window once, while it is created.
// The main window implements this; tests supply their own. Numbers are handed
// over as the texts of their fields so that a bad entry fails in the window
// with the usual conversion error.
class IStartValues {
public:
  virtual ~IStartValues() = default;
  virtual std::string Server() const = 0;       // cboHost
  virtual std::string Group() const = 0;        // cboGroup
  virtual std::string MinLines() const = 0;     // MinR
  virtual std::string MaxLines() const = 0;     // MaxR
  virtual std::string WaitingLines() const = 0; // SkipLine (hidden)
  virtual std::string DefaultExt() const = 0;   // DefE
  virtual std::string DownloadPath() const = 0; // lblPath, used unchanged
  // Milliseconds between the end of one request and the next on a
  // connection; 0 = at once, and above 0 one request at a time.
  virtual std::string Pacing() const { return "500"; } // PACING
  // Connections to the server and requests in flight on each, as set for
  // Server() in the configuration dialog.
  virtual std::string Connections() const { return "4"; }
  virtual std::string RequestsInFlight() const { return "4"; }
  // The wildmat of the subjects to fetch; empty fetches every subject.
  virtual std::string SubjectFilter() const { return {}; } // EdSubject
  // The password kept for Server(), from the password store and never from
  // the settings file; empty when none is kept.
  virtual std::string Password() const { return {}; }
  // The password kept for a server entry now: it may have been set since
  // the window opened (R after "Log-in needed").
  virtual std::string PasswordOf(const std::string& Entry) const {
    return Entry == Server() ? Password() : std::string();
  }
  // Whether to compress the transfers with Server() where it offers it.
  virtual bool Compression() const { return true; }
  // The fill servers in the order they are asked, lowest priority first and
  // ties in the order of the list; never Server() itself.
  virtual std::vector<TFillServer> FillServers() const { return {}; }
};

// Set by the main window when it is created; read by FormCreate.
extern IStartValues* StartValues;

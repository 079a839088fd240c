#pragma once

// A link_relay in a process of its own, for as long as the object lives:
// the benchmarks that walk through a simulated link start one each.

#include <QCoreApplication>
#include <QProcess>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

class TRelayProcess {
public:
  TRelayProcess(const std::string& Target, double RoundTripMs, double Rate) {
    FProcess.setProgram(QCoreApplication::applicationDirPath() + "/link_relay");
    FProcess.setArguments(
        {QString::fromStdString(Target), QString::number(RoundTripMs), QString::number(Rate)});
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start();
    if (FProcess.waitForReadyRead(10000))
      FPort = std::uint16_t(FProcess.readLine().trimmed().toUInt());
  }
  // Its standard input closes: the relay closes every connection and ends.
  ~TRelayProcess() {
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(10000))
      FProcess.kill();
    FProcess.waitForFinished();
  }
  std::uint16_t Port() const { return FPort; }
  long Pid() const { return long(FProcess.processId()); }
  // User and system time so far.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(FProcess.processId()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t at = text.rfind(')');
    if (at == std::string::npos)
      return 0;
    std::istringstream fields(text.substr(at + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) // state .. cmajflt: fields 3 to 13
      fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / double(::sysconf(_SC_CLK_TCK));
  }
  // The bytes it has read so far from both sides of every connection:
  // what the links carried, both ways.
  std::uint64_t BytesCarried() const {
    std::ifstream io("/proc/" + std::to_string(FProcess.processId()) + "/io");
    for (std::string line; std::getline(io, line);)
      if (line.rfind("rchar:", 0) == 0)
        return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
  }
  // Its peak resident memory so far, in KB.
  long PeakKB() const {
    std::ifstream status("/proc/" + std::to_string(FProcess.processId()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0)
        return std::atol(line.c_str() + 6);
    return -1;
  }

private:
  QProcess FProcess;
  std::uint16_t FPort = 0;
};

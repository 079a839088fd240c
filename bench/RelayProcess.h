#pragma once

// A link_relay in a process of its own, for as long as the object lives:
// the benchmarks that walk through a simulated link start one each.

#include "BenchSetup.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstdint>
#include <cstdlib>
#include <fstream>
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
  double CpuSeconds() const { return CpuOf(Pid(), false); }
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

#pragma once

#include <QSocketNotifier>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

// Brings signals into the event loop: the handler only writes the signal's
// number into a pipe, and the loop reads it from there and raises OnSignal,
// where anything may be done. One per process.
class TSignalPipe {
public:
  explicit TSignalPipe(std::initializer_list<int> Signals);
  ~TSignalPipe(); // the signals are ignored from then on
  TSignalPipe(const TSignalPipe&) = delete;
  TSignalPipe& operator=(const TSignalPipe&) = delete;

  std::function<void(int Signal)> OnSignal;

private:
  void Read();

  std::unique_ptr<QSocketNotifier> FNotifier;
  std::vector<int> FSignals;
};

#include "window/DesktopOpener.h"

#include "window/OpenFailure.h"

#include <QCoreApplication>
#include <QProcess>
#include <QUrl>

#include <chrono>
#include <utility>

namespace {

// An opener still running after this long has handed the file to a program
// that runs in its place (xdg-open does so where it knows no desktop): how
// that program ends says nothing about the opening.
constexpr auto LateAnswer = std::chrono::seconds(10);

// xdg-open's exit codes.
std::string Why(int ExitCode) {
  switch (ExitCode) {
  case 2:
    return "it is no longer there";
  case 3:
    return NoProgramOpensIt;
  case 4:
    return "the desktop tried to open it and could not";
  case 127:
    return "this desktop has no opener (xdg-open, in the package xdg-utils)";
  default:
    return "the desktop's opener, xdg-open, ended with " + std::to_string(ExitCode);
  }
}

// QDesktopServices tells only whether xdg-open started, so a file that
// nothing opens would go unsaid. xdg-open runs in the background of a shell
// that waits for it: the shell's exit code is its answer, and a Vostel that
// ends first kills only the shell, so the opener and whatever it started
// live on.
bool XdgOpen(const QUrl& Url) {
  const std::string path = Url.toLocalFile().toLocal8Bit().toStdString();
  auto* opener = new QProcess(QCoreApplication::instance());
  opener->setProgram("/bin/sh");
  opener->setArguments({"-c", "xdg-open \"$1\" & wait $!", "sh", Url.toLocalFile()});
  opener->setStandardInputFile(QProcess::nullDevice());
  opener->setStandardOutputFile(QProcess::nullDevice());
  opener->setStandardErrorFile(QProcess::nullDevice());
  const auto started = std::chrono::steady_clock::now();
  QObject::connect(opener, &QProcess::finished, opener,
                   [opener, path, started](int exitCode, QProcess::ExitStatus status) {
                     opener->deleteLater();
                     if (std::chrono::steady_clock::now() - started > LateAnswer)
                       return;
                     if (status == QProcess::CrashExit)
                       ShowOpenFailure(path, "the desktop's opener, xdg-open, crashed");
                     else if (exitCode != 0)
                       ShowOpenFailure(path, Why(exitCode));
                   });
  QObject::connect(opener, &QProcess::errorOccurred, opener, [opener, path](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart)
      return;
    opener->deleteLater();
    ShowOpenFailure(path, "the desktop's opener could not be started");
  });
  opener->start();
  return true;
}

TDesktopOpener& Opener() {
  static TDesktopOpener opener = XdgOpen;
  return opener;
}

} // namespace

TDesktopOpener SetDesktopOpener(TDesktopOpener opener) {
  if (!opener)
    opener = XdgOpen;
  return std::exchange(Opener(), std::move(opener));
}

bool OpenWithDesktop(const QUrl& Url) { return Opener()(Url); }

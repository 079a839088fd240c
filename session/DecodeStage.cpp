#include "session/ChildWin.h"

#include "platform/Convert.h"

#include <QListWidget>
#include <QProgressBar>

namespace {

// Both spellings are what the user has always seen.
constexpr const char* TryBase64 = "Decoding File try Base64";
constexpr const char* TryBase64Again = "Decoding File try Base 64";
constexpr const char* TryUUEncode = "Decoding File try UUEncode";

} // namespace

// Turns the finished part file into the file it carries. Every failure ends
// up in the log; nothing is raised, so the walk goes on.
void TMDIChild::DecodePartFile() {
  try {
    ProgressBar1->setValue(0);
    const std::string partFile = PartFileName();
    UUCode.SetInputFile(partFile);
    UUCode.SetOutputFile(FSessionDir + IntToStr(FPartFileCount) + ".dec");

    bool attempted = true, decoded = false;
    if (FPartKind == 2) {
      UUCode.SetFileMode(644);
      decoded = DecodeAttempt(TryBase64, base64decode) || DecodeAttempt(TryUUEncode, uudecode);
    } else if (FPartKind == 1 || (FPartKind == 3 && FFileMode != 0)) {
      UUCode.SetFileMode(FPartKind == 1 ? 644 : static_cast<std::uint16_t>(FFileMode));
      if (FPartKind == 3)
        FFileMode = 0;
      decoded = DecodeAttempt(TryUUEncode, uudecode) || DecodeAttempt(TryBase64Again, base64decode);
    } else {
      attempted = false;
    }
    if (attempted && !decoded)
      Log("Error Decoding file " + partFile);

    ProgressBar1->setValue(0);
    CountDecodedFile();
  } catch (...) {
    // Only the widgets could fail here, and a decode must never stop a walk.
  }
}

// One run of the codec; the second attempt keeps the output path the first
// one left behind.
bool TMDIChild::DecodeAttempt(const char* Status, TAlgorithm Algorithm) {
  SetStatus(Status);
  UUCode.SetAlgorithm(Algorithm);
  try {
    UUCode.Execute();
    // A begin line naming the part file itself must not lose the decoded file.
    if (UUCode.OutputFile() != UUCode.InputFile())
      DeleteFile(UUCode.InputFile());
    LBSaved->addItem(QString::fromLocal8Bit(ExtractName(UUCode.OutputFile())));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

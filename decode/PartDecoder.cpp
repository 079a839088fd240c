#include "decode/PartDecoder.h"

#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// The part file is read back this much at a time.
constexpr std::size_t Piece = 1u << 20;

// How the failures name a decoded file: by the last part of its name, as it
// is stored.
std::string ShownName(const std::string& name) {
  const std::string safe = SafeFileName(name);
  return safe.substr(safe.rfind('/') + 1);
}

} // namespace

TPartDecoder::TPartDecoder(std::string Folder, std::int32_t Kind, const std::string& PartName)
    : FFolder(std::move(Folder)) {
  const bool base64 = Kind == 2;
  FFirst = std::make_unique<TDecoding>(base64 ? base64decode : uudecode, PartName);
  FSecond = std::make_unique<TDecoding>(base64 ? uudecode : base64decode, PartName);
  for (TDecoding* d : {FFirst.get(), FSecond.get()})
    d->Text.OnOutput = [this, d](const char* Data, std::size_t Size) { Write(*d, Data, Size); };
}

TPartDecoder::~TPartDecoder() {
  Drop(FFirst);
  Drop(FSecond);
}

// A file that could not be written stays as far as it got; nothing more is
// decoded into it.
void TPartDecoder::Feed(std::string_view Text) {
  for (TDecoding* d : {FFirst.get(), FSecond.get()})
    if (d && d->Result.Unwritable.empty())
      d->Text.Feed(Text);
  if (FSecond && FFirst->Text.HeaderRead())
    Drop(FSecond);
}

void TPartDecoder::FeedFile(const std::string& Path) {
  const TFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0)
    throw EInOutError("Cannot open " + Path + ": " + std::strerror(errno));
  const auto buffer = std::make_unique_for_overwrite<char[]>(Piece);
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer.get(), Piece);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw EInOutError("Cannot read " + Path + ": " + std::strerror(errno));
    if (n == 0)
      return;
    Feed(std::string_view(buffer.get(), std::size_t(n)));
  }
}

void TPartDecoder::Finish() {
  for (TDecoding* d : {FFirst.get(), FSecond.get()}) {
    if (!d || !d->Result.Unwritable.empty())
      continue;
    d->Text.Finish();
    d->Result.Unreadable = d->Text.Failure();
    d->Result.Name = d->Text.Name();
    if (d->Result.Unreadable.empty())
      Close(*d);
  }
}

// The file is made with the first bytes, or at the end for a file of none.
void TPartDecoder::Open(TDecoding& d) {
  std::string path = FFolder + ".decoding-XXXXXX";
  d.Fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (d.Fd < 0)
    d.Result.Unwritable = "Cannot create " + ShownName(d.Text.Name()) + ": " + std::strerror(errno);
  else
    d.Result.File = path;
}

void TPartDecoder::Write(TDecoding& d, const char* Data, std::size_t Size) {
  if (d.Fd < 0 && d.Result.Unwritable.empty())
    Open(d);
  for (std::size_t done = 0; d.Fd >= 0 && done < Size;) {
    const ssize_t n = ::write(d.Fd, Data + done, Size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      d.Result.Unwritable =
          "Cannot write to " + ShownName(d.Text.Name()) + ": " + std::strerror(n < 0 ? errno : ENOSPC);
      ::close(std::exchange(d.Fd, -1));
      return;
    }
    done += std::size_t(n);
  }
}

void TPartDecoder::Close(TDecoding& d) {
  if (d.Fd < 0 && d.Result.Unwritable.empty())
    Open(d);
  if (d.Fd >= 0 && ::close(std::exchange(d.Fd, -1)) != 0)
    d.Result.Unwritable = "Cannot write to " + ShownName(d.Text.Name()) + ": " + std::strerror(errno);
}

void TPartDecoder::Drop(std::unique_ptr<TDecoding>& d) {
  if (!d)
    return;
  if (d->Fd >= 0)
    ::close(d->Fd);
  if (!d->Result.File.empty())
    ::unlink(d->Result.File.c_str());
  d.reset();
}

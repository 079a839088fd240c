#include "session/ChildWin.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "session/StartValues.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

IStartValues* StartValues = nullptr;

namespace {

// Left panel geometry: the list of saved files fills what is below the group
// bar, the buttons and the skip field.
constexpr int InfoWidth = 129;
constexpr int SavedTop = 69;
constexpr int SavedMinHeight = 5;

// Status bar: panel 0 takes what the three fixed panels leave.
constexpr int StatusHeight = 20;
constexpr std::array<int, 4> PanelWidths = {0, 50, 50, 60};
constexpr int FixedPanelsWidth = 160;

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

QProgressBar* MakeBar(QWidget* parent, int maximum, const char* hint) {
  auto* bar = new QProgressBar(parent);
  bar->setRange(0, maximum);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setToolTip(hint);
  bar->setStatusTip(hint);
  return bar;
}

QPushButton* MakeButton(QWidget* parent, const char* text, const char* hint, int left) {
  auto* button = new QPushButton(text, parent);
  button->setToolTip(hint);
  button->setStatusTip(hint);
  button->setGeometry(left, 24, 28, 22);
  return button;
}

} // namespace

TMDIChild::TMDIChild(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  auto* top = new QHBoxLayout(Panel1);
  lblHostName = new QLabel(Panel1);
  lblGroupName = new QLabel(Panel1);
  ProgressBar2 = MakeBar(Panel1, 100, "% Downloaded");
  ProgressBar1 = MakeBar(Panel1, 100, "% Decoded");
  top->addWidget(lblHostName);
  top->addWidget(lblGroupName, 1);
  top->addWidget(ProgressBar2);
  top->addWidget(ProgressBar1);
  layout->addWidget(Panel1);

  auto* middle = new QHBoxLayout;
  middle->setSpacing(0);
  // The left panel places its controls itself so that FormResize alone
  // decides the height of the saved-files list.
  PnlInfo = new QFrame(this);
  PnlInfo->setFixedWidth(InfoWidth);
  ProgressBar3 = MakeBar(PnlInfo, 1000, "% Current Group");
  ProgressBar3->setGeometry(4, 4, InfoWidth - 8, 16);
  Stop = MakeButton(PnlInfo, "X", "Interrupt Current Group Download", 4);
  After = MakeButton(PnlInfo, "A", "Stop Current Download After Current Action", 34);
  Restart = MakeButton(PnlInfo, "R", "Restart current download", 64);
  Skip = MakeButton(PnlInfo, "S", "Skip n Articles", 94);
  Restart->setEnabled(false);
  EdArticlesToSkip = new QLineEdit("0", PnlInfo);
  EdArticlesToSkip->setGeometry(4, 48, InfoWidth - 8, 19);
  LBSaved = new QListWidget(PnlInfo);
  LBSaved->setGeometry(4, SavedTop, InfoWidth - 8, SavedMinHeight);
  middle->addWidget(PnlInfo);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  // The log is cut back as it grows; an undo history would keep it all.
  Memo1->setUndoRedoEnabled(false);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  middle->addWidget(Memo1, 1);
  layout->addLayout(middle, 1);

  // Panels are placed by FormResize, like the left panel's controls.
  SB1 = new QWidget(this);
  SB1->setFixedHeight(StatusHeight);
  const char* designTexts[] = {"Current Action", "0", "0", "00000"};
  for (std::size_t i = 0; i < SB1Panels.size(); ++i) {
    SB1Panels[i] = new QLabel(designTexts[i], SB1);
    SB1Panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  }
  layout->addWidget(SB1);

  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  FUpdates = std::make_unique<TUpdatePacer>(this, Memo1);
  FUpdates->Follow(ProgressBar2, &FBodyLinesShown);

  UUCode.SetHeaders(true);
  // Decoding happens in a private folder of no subfolders: a name that
  // names folders ("pics\a.jpg", as posters on other systems write) would
  // fail there. The stored name is its last part anyway.
  UUCode.SetFlatNames(true);
  UUCode.SetUnixCRLF(CRLF);
  UUCode.OnProgress = [this](std::uint16_t Percent) { UUCodeProgress(Percent); };
  Nntp.OnMessageLine = [this](TObject* Sender) { NntpMessageLine(Sender); };
  FYEnc.OnLog = [this](const std::string& Text) { Log(Text); };
  FYEnc.OnFile = [this](const std::string& Path, const std::string& Name) { StoreYEncFile(Path, Name); };
  FYEnc.OnCheckWaiting = [this] { CheckYEncFiles(); };
  WireController();
}

// A part file still open when the window goes stays on disk unfinished; the
// writer closes it.
TMDIChild::~TMDIChild() = default;

void TMDIChild::Log(const std::string& Text) { FUpdates->AddLine(ToQt(Text + " ")); }

void TMDIChild::LogAppend(const std::string& Text) { FUpdates->AppendToLine(ToQt(Text + " ")); }

void TMDIChild::SetStatus(const std::string& Text) { FUpdates->SetText(SB1Panels[0], ToQt(Text)); }

void TMDIChild::CountDecodedFile() {
  ++FDecodedCount;
  FUpdates->SetText(SB1Panels[3], ToQt(IntToStr(FDecodedCount)));
}

void TMDIChild::FlushUpdates() const { FUpdates->Flush(); }

void TMDIChild::ShowCurrentArticle() { FUpdates->SetText(SB1Panels[1], QString::number(FArticleCurrent)); }

// The numbers come from the server: near the 64-bit limits they must give a
// rough per mille (or 0), not an overflow.
int TMDIChild::GroupProgress() const {
  std::int64_t span = 0, done = 0, scaled = 0;
  if (__builtin_sub_overflow(FArticleEnd, FArticleStart, &span) || span <= 0 ||
      __builtin_sub_overflow(FArticleCurrent, FArticleStart, &done))
    return 0;
  if (__builtin_mul_overflow(done, 1000, &scaled))
    return static_cast<int>(done / std::max<std::int64_t>(span / 1000, 1));
  return static_cast<int>(scaled / span);
}

std::string TMDIChild::ExtractName(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

void TMDIChild::FormResize(TObject*) {
  const int width = SB1->width();
  int left = 0;
  for (std::size_t i = 0; i < SB1Panels.size(); ++i) {
    const int panel = i == 0 ? std::max(0, width - FixedPanelsWidth) : PanelWidths[i];
    SB1Panels[i]->setGeometry(left, 0, panel, StatusHeight);
    left += panel;
  }
  const QRect saved = LBSaved->geometry();
  LBSaved->setGeometry(saved.left(), SavedTop, saved.width(),
                       std::max(SavedMinHeight, PnlInfo->height() - SavedTop));
}

void TMDIChild::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize(this);
}

// A window that closes shows its last lines.
void TMDIChild::hideEvent(QHideEvent* event) {
  Guarded([this] { FlushUpdates(); });
  QWidget::hideEvent(event);
}

void TMDIChild::UUCodeProgress(std::uint16_t Percent) { ProgressBar1->setValue(Percent); }

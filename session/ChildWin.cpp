#include "session/ChildWin.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "walk/StartValues.h"
#include "window/ElidedLabel.h"
#include "window/SavedFiles.h"
#include "window/TransferProgress.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

IStartValues* StartValues = nullptr;

namespace {

// Left panel geometry: the list of saved files fills what is below the group
// bar, the buttons and the skip field.
constexpr int InfoWidth = 129;
constexpr int SavedTop = 69;
constexpr int SavedMinHeight = 5;

// In a narrow window the bars of the top panel give way before the names.
constexpr int BarMinWidth = 40;

// Status bar: panel 0 takes what the three fixed panels leave.
constexpr int StatusHeight = 20;
constexpr std::array<int, 4> PanelWidths = {0, 50, 50, 60};
constexpr int FixedPanelsWidth = 160;

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

// The hint shows in the main window's status bar; the tool tip says below it
// what the bar measures.
QProgressBar* MakeBar(QWidget* parent, int maximum, const char* hint, const char* what) {
  auto* bar = new QProgressBar(parent);
  bar->setRange(0, maximum);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setToolTip(QString(hint) + "\n" + what);
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
  lblHostName = new TElidedLabel(Panel1);
  lblGroupName = new TElidedLabel(Panel1);
  btOpenFolder = new QToolButton(Panel1);
  btOpenFolder->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  btOpenFolder->setAutoRaise(true);
  btOpenFolder->setToolTip("Open Session Folder");
  btOpenFolder->setStatusTip("Open Session Folder");
  ProgressBar2 = MakeBar(Panel1, 100, "% Downloaded", "Lines received of the body being downloaded");
  ProgressBar1 = MakeBar(Panel1, 100, "% Decoded", "How much of the file being decoded is done");
  for (QProgressBar* bar : {ProgressBar2, ProgressBar1})
    bar->setMinimumWidth(BarMinWidth);
  top->addWidget(lblHostName);
  top->addWidget(lblGroupName, 1);
  top->addWidget(btOpenFolder);
  top->addWidget(ProgressBar2);
  top->addWidget(ProgressBar1);
  layout->addWidget(Panel1);
  TransferProgress = new TTransferProgress(this);
  layout->addWidget(TransferProgress);

  auto* middle = new QHBoxLayout;
  middle->setSpacing(0);
  // The left panel places its controls itself so that FormResize alone
  // decides the height of the saved-files list.
  PnlInfo = new QFrame(this);
  PnlInfo->setFixedWidth(InfoWidth);
  ProgressBar3 =
      MakeBar(PnlInfo, 1000, "% Current Group", "How far the walk is through the group's articles");
  ProgressBar3->setGeometry(4, 4, InfoWidth - 8, 16);
  Stop = MakeButton(PnlInfo, "X", "Interrupt Current Group Download", 4);
  After = MakeButton(PnlInfo, "A", "Stop Current Download After Current Action", 34);
  Restart = MakeButton(PnlInfo, "R", "Restart current download", 64);
  Skip = MakeButton(PnlInfo, "S", "Skip n Articles", 94);
  Restart->setEnabled(false);
  EdArticlesToSkip = new QLineEdit("0", PnlInfo);
  EdArticlesToSkip->setToolTip("Number of Articles to Skip with S");
  EdArticlesToSkip->setStatusTip("Number of Articles to Skip with S");
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
  const char* tips[] = {"What the window is doing", "Article being examined", "Last article of the group",
                        "Files saved"};
  for (std::size_t i = 0; i < SB1Panels.size(); ++i) {
    SB1Panels[i] = new QLabel(designTexts[i], SB1);
    SB1Panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    SB1Panels[i]->setToolTip(tips[i]);
  }
  layout->addWidget(SB1);

  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  FUpdates = std::make_unique<TUpdatePacer>(this, Memo1);
  FUpdates->Follow(ProgressBar2, &FBodyLinesShown);

  Nntp.OnMessageLine = [this](TObject* Sender) { NntpMessageLine(Sender); };
  FYEnc.OnLog = [this](const std::string& Text) { Log(Text); };
  FYEnc.OnFile = [this](const std::string& Path, const std::string& Name) { StoreYEncFile(Path, Name); };
  FYEnc.OnCheckWaiting = [this] { CheckYEncFiles(); };
  WireRepair();
  WireProgress();
  WireController();
  // A walk that ends by itself shows at once how it ended: the desktop's
  // notice takes the status from panel 0.
  connect(this, &TMDIChild::WalkEnded, this, [this] { SB1Panels[0]->setText(ToQt(FStatus)); });
}

// Every file listed as saved may belong to a PAR2 set. A repaired file is
// stored and listed like a decoded one, and its parts are no longer waited
// for. A running verify or repair shows in the status; once none is left,
// the status shows what the walk showed last.
void TMDIChild::WireRepair() {
  connect(LBSaved->model(), &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) {
            for (int row = first; row <= last; ++row)
              FRepair.Saved(LBSaved->item(row)->text().toLocal8Bit().toStdString());
          });
  FRepair.OnLog = [this](const std::string& Text) { Log(Text); };
  FRepair.OnFile = [this](const std::string& Path, const std::string& Name) {
    StoreYEncFile(Path, Name);
    FYEnc.Forget(FSessionDir + Name + ".partial");
  };
  FRepair.OnStatus = [this, walk = std::string(), shown = std::string()](const std::string& Text) mutable {
    if (FStatus != shown)
      walk = FStatus;
    SetStatus(Text.empty() ? walk : Text);
    shown = FStatus;
  };
}

// The walk's articles are counted from its first to the group's last; the
// current one is handled once done with. Numbers come from the server, so
// the count saturates rather than overflow.
void TMDIChild::WireProgress() {
  TransferProgress->Articles = [this]() -> TArticleCount {
    std::int64_t total = 0, handled = 0;
    if (!FWalkStarted || __builtin_sub_overflow(FArticleEnd, FArticleStart, &total) || total < 0)
      return {};
    total = total == std::numeric_limits<std::int64_t>::max() ? total : total + 1;
    if (FWalkDone || __builtin_sub_overflow(FArticleCurrent, FArticleStart, &handled))
      return {total, total};
    handled += FCurrentDone && handled < total ? 1 : 0;
    return {std::clamp<std::int64_t>(handled, 0, total), total};
  };
  SavedFiles = new TSavedFiles(LBSaved, FSessionDir);
  connect(btOpenFolder, &QToolButton::clicked, this,
          [this] { Guarded([this] { SavedFiles->OpenFolder(); }); });
}

// A part file still open when the window goes stays on disk unfinished; the
// writer closes it.
TMDIChild::~TMDIChild() = default;

void TMDIChild::Log(const std::string& Text) { FUpdates->AddLine(Shown(Text) + " "); }

void TMDIChild::LogAppend(const std::string& Text) { FUpdates->AppendToLine(Shown(Text) + " "); }

void TMDIChild::SetStatus(const std::string& Text) {
  TransferProgress->Wake();
  FStatus = Shown(Text);
  FUpdates->SetText(SB1Panels[0], ToQt(FStatus));
}

void TMDIChild::SetCaption(const std::string& Text) {
  QString caption = ToQt(Text);
  if (!lblGroupName->text().isEmpty())
    caption += QStringLiteral(" \u2014 %1 on %2").arg(lblGroupName->text(), lblHostName->text());
  setWindowTitle(caption);
}

// The session folder is named after the server entry as written, user and
// all: a path inside it is shown from the folder on ("3.UUE").
std::string TMDIChild::Shown(std::string Text) const {
  if (!FSessionDir.empty())
    for (std::size_t at; (at = Text.find(FSessionDir)) != std::string::npos;)
      Text.erase(at, FSessionDir.size());
  return Text;
}

void TMDIChild::CountDecodedFile() {
  ++FDecodedCount;
  FUpdates->SetText(SB1Panels[3], ToQt(IntToStr(FDecodedCount)));
}

void TMDIChild::FlushUpdates() const { FUpdates->Flush(); }

void TMDIChild::ShowCurrentArticle() { FUpdates->SetText(SB1Panels[1], QString::number(FArticleCurrent)); }

void TMDIChild::ShowGroupProgress() { FUpdates->SetValue(ProgressBar3, GroupProgress()); }

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

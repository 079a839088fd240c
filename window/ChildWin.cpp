#include "window/ChildWin.h"

#include "platform/Convert.h"
#include "platform/FileOps.h"
#include "platform/Guard.h"
#include "window/ElidedLabel.h"
#include "window/SavedFiles.h"
#include "window/TransferProgress.h"
#include "window/UpdatePacer.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Left panel geometry: the list of saved files fills what is below the group
// bar, the buttons and the skip field. The panel is wide enough for a
// usual name of a saved file in the window's font; a longer one scrolls.
constexpr int InfoWidth = 129;
constexpr const char* SavedSample = "holiday.vol000+128.par2";
constexpr int SavedTop = 69;
constexpr int SavedMinHeight = 5;

// In a narrow window the bars of the top panel give way before the names.
constexpr int BarMinWidth = 40;

// Status bar: panel 0 takes what the three fixed panels leave.
constexpr int StatusHeight = 20;
constexpr std::array<int, 4> PanelWidths = {0, 50, 50, 60};
constexpr int FixedPanelsWidth = 160;

constexpr const char* StatusTip = "What the window is doing";

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

TMDIChild::TMDIChild(QWidget* parent) : TMDIChild(std::make_unique<TDecodeSession>(), parent) {}

TMDIChild::TMDIChild(std::unique_ptr<TDecodeSession> Session, QWidget* parent)
    : QWidget(parent), FSession(std::move(Session)) {
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
  ProgressBar1 = MakeBar(Panel1, 100, "% Decoded",
                         "How much of the file being received is decoded, where its size is known (yEnc)");
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
  const int infoWidth = std::max(InfoWidth, fontMetrics().horizontalAdvance(SavedSample) + 16 +
                                                style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 8);
  PnlInfo->setFixedWidth(infoWidth);
  ProgressBar3 =
      MakeBar(PnlInfo, 1000, "% Current Group", "How far the walk is through the group's articles");
  ProgressBar3->setGeometry(4, 4, infoWidth - 8, 16);
  Stop = MakeButton(PnlInfo, "X", "Interrupt Current Group Download", 4);
  After = MakeButton(PnlInfo, "A", "Stop Current Download After Current Action", 34);
  Restart = MakeButton(PnlInfo, "R", "Restart current download", 64);
  Skip = MakeButton(PnlInfo, "S", "Skip n Articles", 94);
  Restart->setEnabled(false);
  EdArticlesToSkip = new QLineEdit("0", PnlInfo);
  EdArticlesToSkip->setToolTip("Number of Articles to Skip with S");
  EdArticlesToSkip->setStatusTip("Number of Articles to Skip with S");
  EdArticlesToSkip->setGeometry(4, 48, infoWidth - 8, 19);
  LBSaved = new QListWidget(PnlInfo);
  LBSaved->setGeometry(4, SavedTop, infoWidth - 8, SavedMinHeight);
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
  const char* tips[] = {StatusTip, "Article being examined", "Last article of the group", "Files saved"};
  for (std::size_t i = 0; i < SB1Panels.size(); ++i) {
    SB1Panels[i] = new QLabel(designTexts[i], SB1);
    SB1Panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    SB1Panels[i]->setToolTip(tips[i]);
  }
  layout->addWidget(SB1);

  SetCaption("Decoding");
  FUpdates = std::make_unique<TUpdatePacer>(this, Memo1);
  FUpdates->Follow(ProgressBar2, &FSession->BodyLines());
  FUpdates->Follow(ProgressBar1, [this] { return FSession->DecodedPercent(); });
  SavedFiles = new TSavedFiles(LBSaved, FSession->SessionDir());
  connect(btOpenFolder, &QToolButton::clicked, this,
          [this] { Guarded([this] { SavedFiles->OpenFolder(); }); });
  WireSession();
  WireButtons();
}

// The session's events, as the window shows them: the log and what changes
// with every article through the update pacer; the saved files, the
// commands and the caption at once.
void TMDIChild::WireSession() {
  TDecodeSession& session = *FSession;
  session.OnLog = [this](TObject*, const std::string& Text) { FUpdates->AddLine(Text + " "); };
  session.OnLogAppend = [this](TObject*, const std::string& Text) { FUpdates->AppendToLine(Text + " "); };
  session.OnStatus = [this](TObject*, const std::string& Text) {
    FUpdates->SetText(SB1Panels[0], ToQt(Text));
  };
  session.OnCaption = [this](TObject*, const std::string& Text) { SetCaption(Text); };
  // The status's tooltip says it whole, with what to do about it.
  session.OnAdvice = [this](TObject*, const std::string& Text) {
    SB1Panels[0]->setToolTip(Text.empty() ? QString(StatusTip)
                                          : ToQt(FSession->Status()) + "\n" + ToQt(Text));
  };
  session.OnCurrentArticle = [this](TObject*, std::int64_t Number) {
    FUpdates->SetText(SB1Panels[1], QString::number(Number));
  };
  session.OnLastArticle = [this](TObject*, std::int64_t Number) {
    SB1Panels[2]->setText(QString::number(Number));
  };
  session.OnGroupProgress = [this](TObject*, std::int64_t PerMille) {
    FUpdates->SetValue(ProgressBar3, int(PerMille));
  };
  session.OnBodyStarted = [this](TObject*, std::int64_t Lines) {
    ProgressBar2->setRange(0, int(std::clamp<std::int64_t>(Lines, 0, std::numeric_limits<int>::max())));
  };
  session.OnFileSaved = [this](TObject*, const std::string& Name) { SavedFiles->ShowSaved(Name); };
  session.OnIncompleteFile = [this](TObject*, const std::string& Name, const std::string& Why) {
    SavedFiles->ShowIncomplete(Name, Why);
  };
  session.OnDecodedCount = [this](TObject*, std::int64_t Count) {
    FUpdates->SetText(SB1Panels[3], ToQt(IntToStr(Count)));
  };
  session.OnTransfer = [this](TObject*, const TTransferFigures& Figures) { TransferProgress->Show(Figures); };
  session.OnCommands = [this](TObject*, const TCommands& Commands) { ShowCommands(Commands); };
  // A walk that ends by itself shows at once how it ended: the desktop's
  // notice takes the status from panel 0.
  session.OnWalkEnded = [this](TObject*, TWalkEnd) {
    SB1Panels[0]->setText(ToQt(FSession->Status()));
    emit WalkEnded();
  };
}

void TMDIChild::WireButtons() {
  const std::pair<QPushButton*, void (TMDIChild::*)(TObject*)> clicks[] = {
      {Stop, &TMDIChild::StopClick},
      {After, &TMDIChild::AfterClick},
      {Restart, &TMDIChild::RestartClick},
      {Skip, &TMDIChild::SkipClick}};
  for (const auto& [button, handler] : clicks)
    connect(button, &QPushButton::clicked, this,
            [this, handler = handler] { Guarded([this, handler] { (this->*handler)(this); }); });
}

TMDIChild::~TMDIChild() = default;

void TMDIChild::SetCaption(const std::string& Text) { setWindowTitle(ToQt(Text)); }

// The server and the group as the start-up read them, also when it
// stopped. A name cut to fit is whole in its tooltip, and the window's size
// hint makes room for both names at once, for the frame to take.
void TMDIChild::ShowNames() {
  lblGroupName->setText(ToQt(FSession->GroupName()));
  // The user stays out of what the window shows, like the password.
  lblHostName->setText(ToQt(FSession->ServerShown()));
  for (QLabel* label : {lblHostName, lblGroupName})
    label->setToolTip(label->text());
  Panel1->updateGeometry();
}

void TMDIChild::ShowCommands(const TCommands& Commands) {
  Stop->setEnabled(Commands.Stop);
  After->setEnabled(Commands.After);
  Restart->setEnabled(Commands.Restart);
  Skip->setEnabled(Commands.Skip);
}

void TMDIChild::FlushUpdates() const { FUpdates->Flush(); }

void TMDIChild::FormCreate(TObject*) {
  try {
    FSession->Start();
  } catch (...) {
    ShowNames();
    throw;
  }
  ShowNames();
  FormResize(this);
}

// Stores where the next walk starts, through the session.
void TMDIChild::FormClose(TObject*) { FSession->Close(); }

void TMDIChild::StopClick(TObject*) { FSession->Stop(); }

void TMDIChild::AfterClick(TObject*) { FSession->StopAfter(); }

void TMDIChild::RestartClick(TObject*) { FSession->Restart(); }

// The skip waits for the next advance, so it counts from the article in hand
// then. Nothing to skip puts the cursor in the field.
void TMDIChild::SkipClick(TObject*) {
  const int n = StrToInt(EdArticlesToSkip->text().toLocal8Bit().toStdString());
  if (n > 0)
    FSession->Skip(n);
  else
    EdArticlesToSkip->setFocus();
  EdArticlesToSkip->setText("0");
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

void TMDIChild::closeEvent(QCloseEvent* event) {
  Guarded([this] { FormClose(this); });
  event->accept();
}

// A window that closes shows its last lines.
void TMDIChild::hideEvent(QHideEvent* event) {
  Guarded([this] { FlushUpdates(); });
  QWidget::hideEvent(event);
}

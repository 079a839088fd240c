#include "tests/window/TestChild.h"

#include "tests/support/EventLoop.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <functional>
#include <random>

using Window = WindowTest;

TEST_F(Window, StartsWithTheDesignValues) {
  TTestChild& c = *Child;
  const std::vector<std::tuple<QPushButton*, const char*, const char*, bool>> buttons = {
      {c.Stop, "X", "Interrupt Current Group Download", true},
      {c.After, "A", "Stop Current Download After Current Action", true},
      {c.Restart, "R", "Restart current download", false},
      {c.Skip, "S", "Skip n Articles", true}};
  for (const auto& [button, text, hint, enabled] : buttons) {
    EXPECT_EQ(button->text(), text);
    EXPECT_EQ(button->toolTip(), hint);
    EXPECT_EQ(button->statusTip(), hint);
    EXPECT_EQ(button->isEnabled(), enabled) << text;
  }
  EXPECT_EQ(c.ProgressBar3->maximum(), 1000);
  EXPECT_EQ(c.ProgressBar3->statusTip(), "% Current Group");
  // Below the hint, the tool tip says what the bar measures.
  EXPECT_TRUE(c.ProgressBar2->toolTip().startsWith("% Downloaded\n"));
  EXPECT_TRUE(c.ProgressBar1->toolTip().startsWith("% Decoded\n"));
  EXPECT_EQ(c.EdArticlesToSkip->text(), "0");
  EXPECT_EQ(c.EdArticlesToSkip->toolTip(), "Number of Articles to Skip with S");
  const char* panels[] = {"Current Action", "0", "0", "00000"};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(c.SB1Panels[i]->text(), panels[i]);
  for (const QLabel* panel : c.SB1Panels) // each says what it shows
    EXPECT_FALSE(panel->toolTip().isEmpty());
  EXPECT_EQ(c.Session().Timer1.interval(), 500);
  EXPECT_FALSE(c.Session().Timer1.isActive());
  EXPECT_EQ(c.Session().FNextStep, stepStart);
  EXPECT_EQ(c.Session().FPartFile, nullptr);
}

TEST_F(Window, LogCutsBackTo100LinesPast200KeepingTheFirst) {
  for (int i = 0; i < 200; ++i)
    Child->Session().Log("line " + std::to_string(i));
  Child->Session().Log("200"); // 200 lines held: no cut yet
  ASSERT_EQ(Child->MemoLines().size(), 201u);
  Child->Session().Log("new");
  const auto lines = Child->MemoLines();
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines[0], "line 0 ");
  EXPECT_EQ(lines[1], "line 102 ");
  EXPECT_EQ(lines[99], "200 ");
  EXPECT_EQ(lines[100], "new ");
  Child->Session().LogAppend("Request Done");
  EXPECT_EQ(Child->MemoLines().back(), "new Request Done ");
  // A body of nothing but begin lines: the line stops growing.
  for (int i = 0; i < 1000; ++i)
    Child->Session().LogAppend("begin 644 x.bin");
  EXPECT_LT(Child->MemoLines().back().size(), 4200u);
  EXPECT_EQ(Child->MemoLines().size(), 101u);
  // What is cut goes for good: no undo history keeps every line of a long walk.
  EXPECT_EQ(Child->Memo1->document()->availableUndoSteps(), 0);
}

TEST_F(Window, ResizeSizesTheStatusPanelAndTheSavedList) {
  Child->SB1->resize(300, 20);
  Child->PnlInfo->resize(129, 60);
  Child->FormResize(nullptr);
  EXPECT_EQ(Child->SB1Panels[0]->width(), 140);
  EXPECT_EQ(Child->SB1Panels[3]->geometry().right(), 299);
  EXPECT_EQ(Child->LBSaved->height(), 5); // not -9
  Child->PnlInfo->resize(129, 300);
  Child->FormResize(nullptr);
  EXPECT_EQ(Child->LBSaved->height(), 231);
}

namespace {

class TPaintCounter : public QObject {
public:
  explicit TPaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int Count = 0;

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    Count += event->type() == QEvent::Paint;
    return false;
  }
};

} // namespace

// A walk at full speed changes the window faster than it is worth showing:
// a run of changes shows nothing until the pacer's next update, which shows
// the last of them and paints the window once.
TEST_F(Window, AFastRunOfChangesShowsAtTheNextUpdate) {
  Child->show();
  TPaintCounter status(Child->SB1Panels[0]);
  ASSERT_TRUE(PumpUntil([&] { return status.Count > 0; }));
  Child->Session().FArticleLines = 300;
  Child->Session().Body({});
  const int before = status.Count;
  for (int i = 0; i < 300; ++i) {
    Child->Session().Log("Request Article " + std::to_string(i));
    Child->Session().SetStatus("Request Article " + std::to_string(i));
    Child->Session().ScanLine("text");
  }
  EXPECT_EQ(Child->SB1Panels[0]->text(), "Current Action");
  EXPECT_TRUE(Child->Memo1->document()->isEmpty());
  EXPECT_TRUE(PumpUntil([&] { return Child->ProgressBar2->value() == 300; }));
  EXPECT_EQ(Child->SB1Panels[0]->text(), "Request Article 299");
  EXPECT_EQ(Child->Memo1->document()->blockCount(), 199); // cut back at 201
  EXPECT_EQ(status.Count, before + 1);
}

// Whenever the log catches up, it shows what it would have shown had every
// line been added at once: cut back past 200 lines, the first line kept,
// appends to the right line, both to lines it shows and to lines held.
// A window that closes shows its last line.
TEST_F(Window, TheLogCaughtUpAtAnyPointIsTheLogLineByLine) {
  Child->show();
  std::vector<std::string> model;
  auto log = [&](const std::string& text) {
    if (model.size() > 200)
      model.erase(model.begin() + 1, model.end() - 99);
    model.push_back(text + " ");
    Child->Session().Log(text);
  };
  auto append = [&](const std::string& text) {
    if (model.empty())
      model.push_back("");
    if (model.back().size() < 4096)
      model.back() += text + " ";
    Child->Session().LogAppend(text);
  };
  // Caught up seldom (more than 200 lines wait before the first time), then
  // often.
  std::mt19937 random(3);
  for (const unsigned every : {400u, 30u})
    for (int i = 0; i < 2000; ++i) {
      if (random() % every == 0)
        EXPECT_EQ(Child->MemoLines(), model) << "after " << i;
      else if (random() % 3 == 0)
        append("more " + std::to_string(i));
      else
        log("line " + std::to_string(i));
    }
  log("the last line");
  Child->close();
  const QStringList shown = Child->Memo1->toPlainText().split('\n');
  ASSERT_EQ(std::size_t(shown.size()), model.size());
  EXPECT_EQ(shown.back().toStdString(), "the last line ");
  EXPECT_EQ(shown.front().toStdString(), model.front());
}

// The window asks for room where its row of figures reads whole on one line
// and a usual saved name whole in its list. Sized within the screen's
// available area, or narrower, no caption overlaps a value: at scale 1 and,
// in a run of its own, at scale 2, where the screen has half the room.
TEST_F(Window, OpensWhereEveryFigureReadsAtScaleOneAndTwo) {
  const char* self = "Window.OpensWhereEveryFigureReadsAtScaleOneAndTwo";
  if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")) {
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", "2");
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QCoreApplication::applicationFilePath(), {QString("--gtest_filter=") + self});
    ASSERT_TRUE(run.waitForFinished(120000));
    const std::string output = run.readAll().toStdString();
    EXPECT_EQ(run.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  } else {
    EXPECT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 2);
  }
  TTestChild& c = *Child;
  TTransferProgress& row = *c.TransferProgress;
  row.Show({"holiday.vol000+128.par2", 999'900'000, 999'900, {99'999, 99'999}, 3599});
  c.LBSaved->addItem("holiday.vol000+128.par2");
  const QSize hint = c.sizeHint();
  EXPECT_GE(hint.width(), row.sizeHint().width());
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  for (const int width : {std::min(hint.width(), area.width()), std::min(hint.width(), area.width()) / 2}) {
    c.resize(width, std::min(hint.height(), area.height()));
    c.show();
    QCoreApplication::processEvents();
    ExpectReadable(row);
    EXPECT_TRUE(c.rect().contains(row.geometry())) << width;
    if (width >= row.sizeHint().width())
      EXPECT_EQ(row.height(), row.sizeHint().height()) << width;
    else
      EXPECT_GT(row.height(), row.sizeHint().height()) << width;
  }
  EXPECT_GE(c.LBSaved->viewport()->width(),
            c.LBSaved->fontMetrics().horizontalAdvance("holiday.vol000+128.par2") + 8);
}

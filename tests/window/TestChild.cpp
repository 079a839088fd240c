#include "tests/window/TestChild.h"
#include "tests/support/TestApplication.h"

#include "platform/FileOps.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>

namespace {

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QApplication>);

} // namespace

std::vector<std::string> TTestChild::MemoLines() const {
  FlushUpdates();
  std::vector<std::string> lines;
  if (!Memo1->document()->isEmpty())
    for (const QString& line : Memo1->toPlainText().split('\n'))
      lines.push_back(line.toStdString());
  return lines;
}

std::vector<std::string> TTestChild::Saved() const {
  std::vector<std::string> names;
  for (int i = 0; i < LBSaved->count(); ++i)
    names.push_back(LBSaved->item(i)->text().toStdString());
  return names;
}

void WindowTest::SetUp() {
  CreateFolder(Folder);
  Child = std::make_unique<TTestChild>();
  Child->Session().FSessionDir = Folder;
  Child->Session().FDefExt = "mod";
}

void WindowWalkTest::Open() {
  Child = std::make_unique<TTestChild>();
  Child->Session().Timer1.setInterval(1);
  Child->show();
  Guarded([&] { Child->FormCreate(Child.get()); });
}

bool WindowWalkTest::WaitEnd() {
  return PumpUntil([&] {
    const QString caption = Child->windowTitle();
    return Child->Session().Settled() &&
           (caption.startsWith("Download Done") || caption.startsWith("Downloading Interrupted"));
  });
}

std::string WindowWalkTest::Panel(int i) const {
  Child->FlushUpdates();
  return Child->SB1Panels[std::size_t(i)]->text().toStdString();
}

void ExpectReadable(const TTransferProgress& row) {
  const QList<QLabel*> labels = row.findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
  ASSERT_EQ(labels.size(), 10);
  for (qsizetype i = 0; i < labels.size(); ++i) {
    const QRect r = labels[i]->geometry();
    EXPECT_TRUE(row.contentsRect().contains(r)) << labels[i]->text().toStdString() << " " << row.width();
    for (qsizetype j = i + 1; j < labels.size(); ++j)
      EXPECT_FALSE(r.intersects(labels[j]->geometry()))
          << labels[i]->text().toStdString() << " / " << labels[j]->text().toStdString() << " "
          << row.width();
    if (labels[i] != row.lblFile) {
      EXPECT_GE(r.width(), labels[i]->fontMetrics().horizontalAdvance(labels[i]->text()))
          << labels[i]->text().toStdString();
    }
  }
}

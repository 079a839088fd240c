#pragma once

#include "platform/Exceptions.h"

#include <QDialog>
#include <QPixmap>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The program picture, painted rather than shipped: a news page with an
// arrow coming down into it. Also the windows' icon.
QPixmap ProgramPicture(int size);

// Name, version, credits and terms of use, in English or Italian.
class TAboutBox : public QDialog, public TObject {
  Q_OBJECT
public:
  explicit TAboutBox(QWidget* parent = nullptr);
  ~TAboutBox() override;

  QWidget* Panel1;
  QLabel* ProgramIcon;
  QLabel* ProductName;
  QLabel* Version;
  QLabel* Copyright;
  QLabel* Comments;
  QPlainTextEdit* MemoE;
  QPlainTextEdit* MemoI;
  QPushButton* Button1;
  QPushButton* OKButton;

  // Handlers.
  void Button1Click(TObject* Sender);
  void OKButtonClick(TObject* Sender);
};

// The one about box.
extern TAboutBox* AboutBox;

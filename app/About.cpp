#include "app/About.h"

#include "platform/Guard.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

TAboutBox* AboutBox = nullptr;

namespace {

const char* const EnglishText =
    "Vostel walks a newsgroup article by article, fetches the articles whose Lines: count lies in the "
    "range you chose, and decodes the files it finds in them into a folder of their server and group: "
    "uuencode, XXencode, base64, MIME base64 and yEnc, also files posted in several parts over several "
    "articles. When a walk ends, it verifies the PAR2 sets among the files it saved and repairs damaged "
    "or missing files from them. Each decode window remembers where it stopped, so the next one goes "
    "on from there.\n\n"
    "Terms of use\n\n"
    "Vostel is free to use and to pass on unchanged. It comes as it is, without any warranty: you use "
    "it at your own risk. You alone answer for what you download with it; respect the rights of those "
    "who posted it and the rules of your news server.";

const char* const ItalianText =
    "Vostel scorre un newsgroup articolo per articolo, scarica gli articoli il cui numero di righe "
    "(Lines:) rientra nell'intervallo scelto e decodifica i file che vi trova in una cartella del loro "
    "server e gruppo: uuencode, XXencode, base64, MIME base64 e yEnc, anche i file divisi in più parti "
    "su più articoli. Alla fine di un giro verifica i set PAR2 tra i file salvati e ripara con essi i "
    "file danneggiati o mancanti. Ogni finestra di decodifica ricorda dove si è fermata, così la "
    "successiva riprende da lì.\n\n"
    "Condizioni d'uso\n\n"
    "Vostel è gratuito e si può distribuire senza modifiche. È fornito così com'è, senza alcuna "
    "garanzia: lo usi a tuo rischio. Sei il solo responsabile di ciò che scarichi; rispetta i diritti "
    "di chi lo ha pubblicato e le regole del tuo news server.";

QPlainTextEdit* Memo(QWidget* parent, const char* text) {
  auto* memo = new QPlainTextEdit(QString::fromUtf8(text), parent);
  memo->setReadOnly(true);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette colours = memo->palette();
  colours.setColor(QPalette::Base, Qt::black);
  colours.setColor(QPalette::Text, Qt::white);
  memo->setPalette(colours);
  memo->setGeometry(150, 8, 288, 146);
  return memo;
}

QLabel* WhiteLabel(QWidget* parent, const QString& text, int pointSize, bool bold, int top) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSize(pointSize);
  font.setBold(bold);
  label->setFont(font);
  label->setStyleSheet("color: white;");
  label->setAlignment(Qt::AlignHCenter);
  label->setGeometry(0, top, 140, QFontMetrics(font).height() + 2);
  return label;
}

} // namespace

QPixmap ProgramPicture(int size) {
  QPixmap picture(size, size);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);

  QLinearGradient sky(0, 0, 0, 64);
  sky.setColorAt(0, QColor(40, 90, 170));
  sky.setColorAt(1, QColor(15, 35, 85));
  p.setPen(Qt::NoPen);
  p.setBrush(sky);
  p.drawRoundedRect(QRectF(1, 1, 62, 62), 12, 12);

  // The page, its headline and its columns of text.
  p.setBrush(QColor(245, 245, 235));
  p.drawRoundedRect(QRectF(12, 9, 34, 44), 3, 3);
  p.setBrush(QColor(40, 40, 40));
  p.drawRect(QRectF(16, 14, 26, 5));
  p.setBrush(QColor(150, 150, 150));
  for (int row = 0; row < 6; ++row) {
    p.drawRect(QRectF(16, 23 + row * 4.5, 11, 2));
    p.drawRect(QRectF(30, 23 + row * 4.5, 12, 2));
  }

  // The arrow bringing the file down.
  p.setBrush(QColor(60, 180, 90));
  p.setPen(QPen(Qt::white, 2));
  p.drawEllipse(QPointF(45, 45), 13, 13);
  QPainterPath arrow;
  arrow.moveTo(42, 36);
  arrow.lineTo(48, 36);
  arrow.lineTo(48, 44);
  arrow.lineTo(52, 44);
  arrow.lineTo(45, 52);
  arrow.lineTo(38, 44);
  arrow.lineTo(42, 44);
  arrow.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawPath(arrow);
  return picture;
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  AboutBox = this;
  setWindowTitle("About Vostel");
  setFixedSize(446, 195);
  setAutoFillBackground(true);
  QPalette black = palette();
  black.setColor(QPalette::Window, Qt::black);
  setPalette(black);

  Panel1 = new QWidget(this);
  Panel1->setGeometry(4, 8, 140, 180);
  ProgramIcon = new QLabel(Panel1);
  ProgramIcon->setPixmap(ProgramPicture(64));
  ProgramIcon->setGeometry(38, 0, 64, 64);
  ProductName = WhiteLabel(Panel1, "Vostel", 16, true, 70);
  Version = WhiteLabel(Panel1, "V. beta 0.60", 9, false, 100);
  Copyright = WhiteLabel(Panel1, "Usenet news decoder", 8, false, 130);
  Comments = WhiteLabel(Panel1, "uu, XX, base64, yEnc", 8, false, 148);

  MemoE = Memo(this, EnglishText);
  MemoI = Memo(this, ItalianText);
  MemoI->hide();

  Button1 = new QPushButton("Italiano", this);
  Button1->setGeometry(270, 162, 80, 26);
  OKButton = new QPushButton("OK", this);
  OKButton->setGeometry(358, 162, 80, 26);
  OKButton->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(this); }); });
  connect(OKButton, &QPushButton::clicked, this, [this] { Guarded([this] { OKButtonClick(this); }); });

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()).topLeft());
}

TAboutBox::~TAboutBox() {
  if (AboutBox == this)
    AboutBox = nullptr;
}

void TAboutBox::Button1Click(TObject*) {
  if (MemoE->isHidden()) {
    MemoE->show();
    MemoI->hide();
    Button1->setText("Italiano");
  } else {
    MemoE->hide();
    MemoI->show();
    Button1->setText("English");
  }
}

void TAboutBox::OKButtonClick(TObject*) { hide(); }

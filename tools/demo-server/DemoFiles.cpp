#include "tools/demo-server/DemoFiles.h"

#include <QBuffer>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

std::string DemoPicture(int width, int height, const std::string& caption) {
  QImage image(width, height, QImage::Format_RGB32);
  const double w = width, h = height;
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);

  QLinearGradient sky(0, 0, 0, h);
  sky.setColorAt(0, QColor(0x14, 0x1e, 0x46));
  sky.setColorAt(0.5, QColor(0x7b, 0x41, 0x8c));
  sky.setColorAt(0.85, QColor(0xf2, 0x9e, 0x5c));
  p.fillRect(image.rect(), sky);

  // Stars scattered by a fixed sequence, so that every run draws the same sky.
  p.setBrush(QColor(255, 255, 255, 190));
  std::uint32_t seed = 2024;
  auto next = [&seed](double range) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % 10000 * range / 10000;
  };
  for (int i = 0; i < width / 12; ++i) {
    const double x = next(w), y = next(h * 0.45);
    p.drawEllipse(QPointF(x, y), 1.2, 1.2);
  }

  const QPointF sunAt(w * 0.7, h * 0.66);
  QRadialGradient sun(sunAt, h * 0.2);
  sun.setColorAt(0, QColor(0xff, 0xf1, 0xb8));
  sun.setColorAt(1, QColor(0xf8, 0x8a, 0x3c));
  p.setBrush(sun);
  p.drawEllipse(sunAt, h * 0.18, h * 0.18);

  // Two rows of hills, the nearer one darker.
  const QColor hills[] = {QColor(0x3d, 0x2c, 0x5e), QColor(0x1c, 0x15, 0x33)};
  for (int row = 0; row < 2; ++row) {
    const double base = h * (0.74 + 0.1 * row);
    QPainterPath hill(QPointF(0, h));
    hill.lineTo(0, base);
    hill.cubicTo(w * (0.2 + 0.1 * row), base - h * 0.16, w * 0.45, base + h * 0.08, w * 0.62,
                 base - h * 0.04);
    hill.cubicTo(w * 0.78, base - h * 0.12, w * 0.9, base - h * 0.02, w, base - h * 0.08);
    hill.lineTo(w, h);
    p.setBrush(hills[row]);
    p.drawPath(hill);
  }

  QFont font("DejaVu Sans");
  font.setBold(true);
  font.setPixelSize(std::max(8, int(h * 0.24)));
  p.setFont(font);
  const QRectF title(0, h * 0.1, w, h * 0.32);
  p.setPen(QColor(0, 0, 0, 100));
  p.drawText(title.translated(2, 3), Qt::AlignCenter, "Vostel");
  p.setPen(Qt::white);
  p.drawText(title, Qt::AlignCenter, "Vostel");
  font.setBold(false);
  font.setPixelSize(std::max(6, int(h * 0.065)));
  p.setFont(font);
  p.setPen(QColor(0xff, 0xf1, 0xd6));
  p.drawText(QRectF(0, h * 0.42, w, h * 0.1), Qt::AlignCenter, QString::fromStdString(caption));
  p.end();

  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return png.toStdString();
}

namespace {

// 2024-01-01 00:00 UTC, so that the archive does not change from run to run.
const unsigned long long ArchiveTime = 1704067200;

void Text(char* header, std::size_t at, std::size_t size, const std::string& text) {
  std::memcpy(header + at, text.data(), std::min(size, text.size()));
}

// Octal digits filling all but the last byte of the field, which stays NUL.
void Octal(char* header, std::size_t at, std::size_t size, unsigned long long value) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%0*llo", int(size - 1), value);
  std::memcpy(header + at, digits, size - 1);
}

} // namespace

std::string TarArchive(const std::vector<TDemoFile>& files) {
  std::string tar;
  for (const TDemoFile& file : files) {
    char header[512] = {};
    Text(header, 0, 100, file.Name);
    Octal(header, 100, 8, 0644);
    Octal(header, 108, 8, 0);
    Octal(header, 116, 8, 0);
    Octal(header, 124, 12, file.Data.size());
    Octal(header, 136, 12, ArchiveTime);
    header[156] = '0'; // a regular file
    Text(header, 257, 6, std::string("ustar", 6));
    Text(header, 263, 2, "00");
    Text(header, 265, 32, "vostel");
    Text(header, 297, 32, "vostel");
    // The checksum counts its own field as blanks, then is six digits, NUL, blank.
    std::memset(header + 148, ' ', 8);
    unsigned sum = 0;
    for (const char c : header)
      sum += static_cast<unsigned char>(c);
    Octal(header, 148, 7, sum);
    header[155] = ' ';
    tar.append(header, sizeof header);
    tar += file.Data;
    tar.append((512 - file.Data.size() % 512) % 512, '\0');
  }
  tar.append(1024, '\0'); // two empty blocks end the archive
  tar.append((10240 - tar.size() % 10240) % 10240, '\0');
  return tar;
}

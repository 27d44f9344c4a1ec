#include "screenimage.h"

#include <QDateTime>
#include <QFont>
#include <QPainter>

namespace farmsim {

QImage renderScreen(const QString& name, const QString& idx, qint64 msSinceEpoch)
{
    QImage img(kScreenWidth, kScreenHeight, QImage::Format_RGB32);
    const int hue = static_cast<int>(qHash(idx) % 360);
    img.fill(QColor::fromHsv(hue, 120, 90));

    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    // Status bar and a sweep that moves with the clock.
    p.fillRect(0, 0, kScreenWidth, 24, QColor(0, 0, 0, 140));
    const int sweep = static_cast<int>((msSinceEpoch / 100) % kScreenWidth);
    p.fillRect(sweep, kScreenHeight - 12, 40, 6, Qt::white);

    const QDateTime t = QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setPixelSize(14);
    p.setFont(f);
    p.drawText(QRect(8, 0, kScreenWidth - 16, 24), Qt::AlignVCenter | Qt::AlignRight,
               t.toString(QStringLiteral("HH:mm")));

    f.setPixelSize(26);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(10, 120, kScreenWidth - 20, 80), Qt::AlignCenter | Qt::TextWordWrap, name);
    f.setBold(false);
    f.setPixelSize(16);
    p.setFont(f);
    p.drawText(QRect(10, 200, kScreenWidth - 20, 30), Qt::AlignCenter, idx);
    f.setPixelSize(30);
    p.setFont(f);
    p.drawText(QRect(10, 260, kScreenWidth - 20, 50), Qt::AlignCenter,
               t.toString(QStringLiteral("HH:mm:ss")));
    f.setPixelSize(14);
    p.setFont(f);
    p.drawText(QRect(10, 310, kScreenWidth - 20, 24), Qt::AlignCenter,
               t.toString(QStringLiteral("yyyy-MM-dd .zzz")));
    return img;
}

} // namespace farmsim

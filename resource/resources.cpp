#include "resource/resources.h"

#include <QFile>
#include <QPixmapCache>

static void initResourceFile()
{
    Q_INIT_RESOURCE(resource);
}

namespace Resources {

void init()
{
    initResourceFile();
}

QPixmap pixmap(const QString &path, const QSize &size, qreal dpr)
{
    const QString key
        = QStringLiteral("belfry:%1:%2x%3@%4").arg(path).arg(size.width()).arg(size.height()).arg(dpr);
    QPixmap result;
    if (QPixmapCache::find(key, &result))
        return result;

    QString source = path;
    if (dpr > 1.0) {
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        const QString hiDpi = path.left(dot) + QStringLiteral("@2x") + path.mid(dot);
        if (QFile::exists(hiDpi))
            source = hiDpi;
    }
    QPixmap original(source);
    if (original.isNull())
        return original;
    result = original.scaled(size * dpr, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    result.setDevicePixelRatio(dpr);
    QPixmapCache::insert(key, result);
    return result;
}

}  // namespace Resources

#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

namespace Resources {

// Registers the embedded images under ":/resource/". A static library's
// resources are only linked in when something calls this.
void init();

// A resource image scaled to `size` logical pixels with
// KeepAspectRatioByExpanding and smooth filtering, for a screen of device
// pixel ratio `dpr`. On high-density screens the "@2x" rendering is used when
// there is one, so the picture stays sharp. Scaled results are cached: widgets
// that repaint often do not rescale the same picture each time.
QPixmap pixmap(const QString &path, const QSize &size, qreal dpr = 1.0);

}  // namespace Resources

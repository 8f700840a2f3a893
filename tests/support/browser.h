#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Stands in for the browser while alive: QDesktopServices hands it the
// addresses of the given schemes instead of opening them.
class Browser : public QObject
{
    Q_OBJECT
public:
    explicit Browser(const QStringList &schemes = {QStringLiteral("http"), QStringLiteral("https")})
        : schemes(schemes)
    {
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~Browser() override
    {
        for (const QString &scheme : schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }

private:
    QStringList schemes;
};

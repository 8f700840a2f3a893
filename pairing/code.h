#pragma once

#include <QPoint>
#include <QString>
#include <QVector>
#include <QWidget>

class Label;
class QRCode;
class QToolButton;

// The small frameless page shown until a phone is paired. It shows the client
// id as a QR code for the phone app to read; after a pairing it shows the
// check mark of its background, counts two seconds down in its caption, hides
// and reports ok(true). Its close button reports ok(false).
class Code : public QWidget
{
    Q_OBJECT
public:
    explicit Code(const QString &pcid, QWidget *parent = nullptr);
    ~Code() override;

signals:
    void ok(bool paired);

public slots:
    void paired();

protected:
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    QString pcid;
    QRCode *qrcode;
    Label *caption;
    QToolButton *closeButton;
    QPoint dragOffset;
    int countdown;
    // Countdown timers still running; a second pairing during a countdown
    // starts one more, and each stops itself.
    QVector<int> countdownTimers;
};

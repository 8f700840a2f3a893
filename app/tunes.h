#pragma once

#include <QDialog>
#include <QString>

class QHBoxLayout;
class QLabel;

// Tells the user that iTunes is missing ("install") or has never been
// started ("init"), and offers the one action that helps. It is the only
// window of such a run: closing it, or following its link, ends the program.
class Tunes : public QDialog
{
    Q_OBJECT
public:
    enum class Mode { Install, Init };

    // `command` starts iTunes; it is used by the "init" link only.
    Tunes(Mode mode, const QString &command, QWidget *parent = nullptr);
    ~Tunes() override;

    QHBoxLayout *layout;
    QLabel *label;

protected:
    void closeEvent(QCloseEvent *event) override;
};

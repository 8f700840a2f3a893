#pragma once

#include <QDialog>

class QHBoxLayout;
class QLabel;

// Offers a newer version with a link to its download address. Following the
// link opens the address in the browser (web addresses only) and hides the
// dialog; closing it only hides it.
class Update : public QDialog
{
    Q_OBJECT
public:
    Update(const QString &version, const QString &download, QWidget *parent = nullptr);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void openLink(const QString &link);

    QLabel *label;
    QHBoxLayout *layout;

    friend class TestDialogs;
};

#pragma once

#include <QDialog>

class QHBoxLayout;
class QLabel;
class QVBoxLayout;

// Name, version and year of the program. The year is the one in which the
// program started. Closing the dialog only hides it.
class About : public QDialog
{
    Q_OBJECT
public:
    explicit About(QWidget *parent = nullptr);
    ~About() override;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QHBoxLayout *logoLayout;
    QVBoxLayout *mainLayout;
    QLabel *logoLabel;
    QLabel *textLabel;

    friend class TestDialogs;
};

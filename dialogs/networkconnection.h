#pragma once

#include <QDialog>

class QHBoxLayout;
class QLabel;

// Says that the service cannot be reached. Closing it only hides it, so the
// same dialog comes back the next time the network goes away.
class NetworkConnection : public QDialog
{
    Q_OBJECT
public:
    explicit NetworkConnection(QWidget *parent = nullptr);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *label;
    QHBoxLayout *layout;
};

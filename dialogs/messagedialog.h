#pragma once

class QDialog;
class QHBoxLayout;
class QLabel;
class QString;

// The look shared by the small message dialogs of the running program:
// 280 x 100, no minimize or maximize button, one rich-text label filling it.
void buildMessageDialog(QDialog *dialog, const QString &text, QLabel *&label, QHBoxLayout *&layout);

#pragma once

class QDialog;
class QHBoxLayout;
class QLabel;
class QString;

// The look shared by the small message dialogs: 280 x 100, the program's
// icon and title, one rich-text label filling it. Those of the running
// program also drop the minimize and maximize buttons.
enum class WindowButtons { Default, CloseOnly };
void buildMessageDialog(QDialog *dialog, const QString &text, QLabel *&label, QHBoxLayout *&layout,
    WindowButtons buttons = WindowButtons::CloseOnly);

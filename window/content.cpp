#include "window/content.h"

#include <QEvent>
#include <QLabel>

#include "resource/resources.h"

namespace {

const QSize PageSize(470, 350);

// Decodes a page's picture when the page is first shown: a program that
// waits in the tray with its window hidden keeps no tutorial picture in
// memory, and the picture is made for the screen the window is on.
class PictureOnShow : public QObject
{
public:
    PictureOnShow(QLabel *label, const QString &path)
        : QObject(label)
        , path(path)
    {
        label->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            auto *label = static_cast<QLabel *>(watched);
            label->setPixmap(Resources::pixmap(path, PageSize, label->devicePixelRatioF()));
            label->removeEventFilter(this);
        }
        return false;
    }

private:
    QString path;
};

// The picture goes in first so that the instruction labels lie above it.
void addPicture(QWidget *page, const QString &path)
{
    auto *picture = new QLabel(page);
    picture->setGeometry(QRect(QPoint(0, 0), PageSize));
    new PictureOnShow(picture, path);
}

QLabel *addText(QWidget *page, const QString &text, const QRect &geometry)
{
    auto *label = new QLabel(text, page);
    label->setObjectName(QStringLiteral("content"));
    label->setGeometry(geometry);
    return label;
}

}  // namespace

Content_1::Content_1(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(PageSize);
    addPicture(this, QStringLiteral(":/resource/1_content.png"));
    addText(this, QStringLiteral("请在Tintabell中进行如下操作："), QRect(24, 8, 300, 40));
    addText(
        this, QStringLiteral("<center>单首同步<br><br>或<br><br>批量同步</center>"), QRect(50, 80, 100, 180));
}

Content_2::Content_2(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(PageSize);
    addPicture(this, QStringLiteral(":/resource/2_content.png"));
    addText(
        this, QStringLiteral("用数据线将iPhone与电脑连接，进行如下操作："), QRect(10, 4, width() - 50, 40));
}

Content_3::Content_3(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(PageSize);
    addPicture(this, QStringLiteral(":/resource/3_content.png"));
    QLabel *body
        = addText(this, QStringLiteral("点击iPhone中的<br>设置 -> 声音 -> 电话铃声<br> 选择您喜欢的铃声。"),
            QRect(30, 80, 150, 200));
    body->setWordWrap(true);
}

#include "window/stylesheet.h"

QString applicationStyleSheet()
{
    return QStringLiteral(R"(QToolButton#btn_close {
    background: transparent url(:/resource/close.png) center no-repeat;
    border-radius: 1em;
    border-width: 0;
}
QToolButton#btn_close:hover {
    background: transparent url(:/resource/close_hover.png) center no-repeat;
}
QToolButton#btn_close:pressed {
    background: transparent url(:/resource/close_click.png) center no-repeat;
}
QToolButton#btn_itunes {
    background: transparent url(:/resource/itunes.png) center no-repeat;
    border-radius: 1em;
    border-width: 0;
}
QToolButton#btn_itunes:hover {
    background: transparent url(:/resource/itunes_hover.png) center no-repeat;
}
QToolButton#btn_itunes:pressed {
    background: transparent url(:/resource/itunes_click.png) center no-repeat;
}
QToolButton#btn_settings {
    background: transparent url(:/resource/setting.png) center no-repeat;
    border-radius: 1em;
    border-width: 0;
}
QToolButton#btn_settings:hover {
    background: transparent url(:/resource/setting_hover.png) center no-repeat;
}
QToolButton#btn_settings:pressed {
    background: transparent url(:/resource/setting_click.png) center no-repeat;
}
#cover_1_2, #cover_3 {
    background: transparent;
}
#cover_1_2:hover {
    background: transparent url(:/resource/1_hover.png) center no-repeat;
}
#cover_1_2:checked {
    background: transparent url(:/resource/1_click.png) center no-repeat;
}
#cover_3:hover {
    background: transparent url(:/resource/3_hover.png) center no-repeat;
}
#cover_3:checked {
    background: transparent url(:/resource/3_click.png) center no-repeat;
}
QLabel, ScrollText {
    font-family: "Microsoft YaHei", "WenQuanYi Micro Hei", sans-serif;
}
QLabel {
    font-weight:bold;
}
QLabel#button {
    color:rgb(227, 227, 227);
    font-size: 16px;
    line-height: 160%;
}
QLabel#content {
    color:rgb(120, 120, 120);
    font-size: 20px;
    line-height: 160%;
}
QLabel#bar {
    color:rgb(227, 227, 227);
    font-size: 18px;
    font-weight:normal;
}
QLabel#qrcode {
    color:#BCBCBC;
    font-size: 16px;
}
QLabel#more_help {
    color: rgb(227,227,227);
}
QLabel#more_help:hover {
    color:white;
}
)");
}

#pragma once

#include <QAction>
#include <QList>
#include <QMenu>
#include <QStringList>

// A menu as the user sees it, one line an entry: "-" a separator, "> " before
// each entry of a submenu, " (off)" after a disabled one.
inline QStringList menuLines(const QMenu *menu, const QString &indent = QString())
{
    QStringList lines;
    const auto actions = menu->actions();
    for (const QAction *action : actions) {
        if (action->isSeparator()) {
            lines << indent + QLatin1Char('-');
            continue;
        }
        lines << indent + action->text() + (action->isEnabled() ? QString() : QStringLiteral(" (off)"));
        if (action->menu())
            lines << menuLines(action->menu(), indent + QStringLiteral("> "));
    }
    return lines;
}

// The entries that do something when chosen, top to bottom, submenus included.
inline QList<QAction *> commands(const QMenu *menu)
{
    QList<QAction *> found;
    const auto actions = menu->actions();
    for (QAction *action : actions) {
        if (action->menu())
            found << commands(action->menu());
        else if (!action->isSeparator())
            found << action;
    }
    return found;
}

// Chooses the entry with this text, wherever it is in the menu.
inline void choose(const QMenu *menu, const QString &text)
{
    const auto found = commands(menu);
    for (QAction *action : found)
        if (action->text() == text)
            action->trigger();
}

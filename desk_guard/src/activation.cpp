#include <QApplication>
#include <QDialog>
#include <QWidget>

#include "vyr/desk_guard/window_helpers.hpp"

namespace vyr::desk_guard {

QWidget* default_activation_target() {
    if (!QApplication::instance()) return nullptr;
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (w->isWindow() && !qobject_cast<QDialog*>(w)) return w;
    }
    return nullptr;
}

void bring_to_front(QWidget* win) {
    if (!win) return;
    win->setWindowState((win->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    win->show();
    win->raise();
    win->activateWindow();
}

}  // namespace vyr::desk_guard

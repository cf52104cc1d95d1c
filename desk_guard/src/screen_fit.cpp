#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QVariant>

#include <algorithm>

#include "vyr/desk_guard/screen_fit.hpp"
#include "vyr/desk_guard/texts.hpp"

namespace vyr::desk_guard {

bool property_is_set(const QWidget* win, const char* name) {
    const QVariant value = win->property(name);
    if (!value.isValid()) return false;
    switch (static_cast<QMetaType::Type>(value.userType())) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Float:
    case QMetaType::Double:
        return value.toDouble() != 0.0;
    case QMetaType::QString:
        return !value.toString().isEmpty();
    case QMetaType::QByteArray:
        return !value.toByteArray().isEmpty();
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
        return !value.toList().isEmpty();
    case QMetaType::QVariantMap:
        return !value.toMap().isEmpty();
    case QMetaType::QVariantHash:
        return !value.toHash().isEmpty();
    default:
        return true;
    }
}

bool guard_attached(const QWidget* win) {
    return property_is_set(win, texts::kGuardMarkerProperty);
}

void mark_guard_attached(QWidget* win) { win->setProperty(texts::kGuardMarkerProperty, true); }

int responsive_width(int base_w, int cur_w) {
    return cur_w < 1160 ? std::max(195, base_w - 42) : base_w;
}

ScreenFit::ScreenFit(QWidget* win, std::vector<SidebarRecord> sidebars)
    : QObject(win), win_(win), sidebars_(std::move(sidebars)) {}

void ScreenFit::apply_responsive_widths(int cur_w) {
    for (const SidebarRecord& record : sidebars_) {
        QWidget* sb = record.widget.data();
        if (!sb) continue;
        const int target = responsive_width(record.base_width, cur_w);
        if (sb->objectName() == QLatin1String("SidebarCard")) {
            sb->setMinimumWidth(target);
            sb->setMaximumWidth(target + 60);
        } else {
            sb->setFixedWidth(target);
        }
    }
    const bool compact_buttons = cur_w < 1280;
    const QString dense = QString::fromUtf8(texts::kDenseButtonStyle);
    for (const DenseButton& entry : dense_buttons_) {
        QWidget* button = entry.button.data();
        if (!button) continue;
        button->setStyleSheet(compact_buttons ? entry.base_style + dense : entry.base_style);
    }
}

std::optional<QRect> ScreenFit::available_area() const {
    if (available_area_) return available_area_();
    if (!QCoreApplication::instance()) return std::nullopt;
    QScreen* screen = win_ ? win_->screen() : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return std::nullopt;
    return screen->availableGeometry();
}

void ScreenFit::sync_to_screen() {
    QWidget* win = win_.data();
    if (!win) return;
    const auto avail = available_area();
    if (!avail) return;
    if (avail->width() < 1024 || avail->height() < 680) return;
    apply_responsive_widths(win->width() != 0 ? win->width() : avail->width());
    if (property_is_set(win, texts::kNoAutoMaximizeProperty)) return;
    if (win->isMaximized() || win->width() > avail->width() || win->height() > avail->height())
        win->setGeometry(*avail);
}

void ScreenFit::initial_fit() {
    QWidget* win = win_.data();
    if (!win) return;
    apply_responsive_widths(win->width());
    if (property_is_set(win, texts::kNoAutoMaximizeProperty)) return;
    const auto avail = available_area();
    if (!avail) return;
    if (avail->width() >= 1024 && avail->height() >= 680) {
        win->setGeometry(*avail);
        win->showMaximized();
    }
}

void ScreenFit::install() {
    if (!win_) return;
    win_->installEventFilter(this);
    if (QCoreApplication::instance()) {
        const auto screens = QGuiApplication::screens();
        for (QScreen* screen : screens) {
            connect(screen, &QScreen::availableGeometryChanged, this, &ScreenFit::sync_to_screen);
            connect(screen, &QScreen::geometryChanged, this, &ScreenFit::sync_to_screen);
            connect(screen, &QScreen::logicalDotsPerInchChanged, this, &ScreenFit::sync_to_screen);
        }
    }
    QTimer::singleShot(0, this, &ScreenFit::initial_fit);
}

bool ScreenFit::eventFilter(QObject* watched, QEvent* event) {
    // Runs before the window's own resize handling, which still follows.
    if (watched == win_ && event->type() == QEvent::Resize) apply_responsive_widths(win_->width());
    return false;
}

}  // namespace vyr::desk_guard

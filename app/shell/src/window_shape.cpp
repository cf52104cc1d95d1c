#include "vyr/shell/window_shape.hpp"

#include <QBitmap>
#include <QEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>

namespace vyr::shell {

QRegion rounded_region(const QRect& rect, int radius) {
    if (rect.isEmpty()) return QRegion();
    QBitmap bits(rect.right() + 1, rect.bottom() + 1);
    bits.fill(Qt::color0);
    QPainter p(&bits);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::color1);
    p.drawRoundedRect(rect, radius, radius);
    p.end();
    return QRegion(bits);
}

CompositingWatch::CompositingWatch(QObject* parent, Probe probe)
    : QObject(parent), probe_(std::move(probe)), running_(probe_()), timer_(new QTimer(this)) {
    connect(timer_, &QTimer::timeout, this, &CompositingWatch::check);
    timer_->start(kIntervalMs);
}

void CompositingWatch::check() {
    const bool now = probe_();
    if (now == running_) return;
    running_ = now;
    emit changed(running_);
}

WindowShape::WindowShape(QWidget* window, QWidget* card, int inset, int radius, CompositingWatch* watch,
                         SeeThrough see_through)
    : QObject(window),
      window_(window),
      card_(card),
      inset_(inset),
      radius_(radius),
      watch_(watch),
      see_through_(std::move(see_through)) {
    window_->installEventFilter(this);
    if (card_ != window_) card_->installEventFilter(this);
    connect(watch_, &CompositingWatch::changed, this, &WindowShape::refresh);
    refresh();
}

void WindowShape::refresh() {
    if (watch_->running()) {
        if (!window_->mask().isEmpty()) window_->clearMask();
        return;
    }
    QRect card = card_ == window_ ? window_->rect() : card_->geometry();
    if (card_ != window_ && card_->parentWidget() != window_)
        card.moveTopLeft(card_->mapTo(window_, QPoint(0, 0)));
    QRegion outline = rounded_region(card.adjusted(inset_, inset_, -inset_, -inset_), radius_);
    if (see_through_) {
        if (const std::optional<QRegion> painted = see_through_(); painted && !painted->isEmpty())
            outline &= painted->translated(card.topLeft());
    }
    if (window_->mask() != outline) window_->setMask(outline);
}

bool WindowShape::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
        if (watched == window_) watch_->check();
        refresh();
        break;
    case QEvent::Resize:
    case QEvent::Move:
        if (watched == card_) refresh();
        if (watched == window_ && event->type() == QEvent::Resize) refresh();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vyr::shell

// Rounded translucent windows on a desktop without a compositing manager.
// A translucent window needs one to blend its transparent margins and
// corners with what lies under it; without one the X server shows them
// black. There each such window is cut to its rounded outline, and the cut
// is taken away again while a compositing manager runs.
#pragma once

#include <functional>
#include <optional>

#include <QObject>
#include <QRegion>

class QTimer;
class QWidget;

namespace vyr::shell {

// Whether a compositing manager blends the windows of the program's screen
// (platform code). True wherever the question does not arise: other window
// systems, Qt platforms other than X11, and when the X server cannot be asked.
bool compositing_manager_running();

// The pixels that a rounded rectangle of `radius` painted over `rect` covers.
QRegion rounded_region(const QRect& rect, int radius);

// Follows the compositing state: asks at once, and again every few seconds
// (one round trip to the display server), telling its windows when it changes.
class CompositingWatch : public QObject {
    Q_OBJECT
public:
    using Probe = std::function<bool()>;
    static constexpr int kIntervalMs = 2000;

    explicit CompositingWatch(QObject* parent, Probe probe = compositing_manager_running);
    bool running() const { return running_; }
    // Asks again; emits changed() when the answer differs.
    void check();

signals:
    void changed(bool running);

private:
    Probe probe_;
    bool running_;
    QTimer* timer_;
};

// Keeps one translucent window cut to the rounded outline of the card it
// paints (a child widget, or the window itself), `inset` pixels inside the
// card's edge, while no compositing manager runs. Owned by the window.
// While `see_through` gives a region (in the card's coordinates), the card
// paints no plate and the window is cut to that region within the outline.
class WindowShape : public QObject {
    Q_OBJECT
public:
    using SeeThrough = std::function<std::optional<QRegion>()>;

    WindowShape(QWidget* window, QWidget* card, int inset, int radius, CompositingWatch* watch,
                SeeThrough see_through = {});
    void refresh();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    QWidget* card_;
    int inset_;
    int radius_;
    CompositingWatch* watch_;
    SeeThrough see_through_;
};

}  // namespace vyr::shell

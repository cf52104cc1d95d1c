// Shared pieces of the widget tests: the font, synthetic pointer input, what
// a window shows (its painted texts and fills, its buttons, labels and table)
// and fakes of the controller, the settings store, the engine and the boxes.
#pragma once

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>
#include <QTableView>
#include <QTest>
#include <QTextItem>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vyr/app/message_boxes.hpp"
#include "vyr/app/monitor_controller.hpp"
#include "vyr/app/monitor_engine.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/app/text.hpp"

namespace vyr::test {

inline void load_roboto() {
    static bool done = false;
    if (!done) {
        QFontDatabase::addApplicationFont(QStringLiteral(VYR_TEST_ROBOTO));
        done = true;
    }
}

// A mouse event as the window system would deliver it to `w` at the local
// point `pos`; QApplication passes an ignored event on to the parents.
inline bool send_mouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                       Qt::MouseButtons buttons) {
    QMouseEvent ev(type, QPointF(pos), QPointF(w->mapTo(w->window(), pos)), QPointF(w->mapToGlobal(pos)),
                   button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &ev);
    return ev.isAccepted();
}
inline void press(QWidget* w, QPoint pos, Qt::MouseButton b = Qt::LeftButton) {
    send_mouse(w, QEvent::MouseButtonPress, pos, b, b);
}
inline void move(QWidget* w, QPoint pos, Qt::MouseButtons held = Qt::LeftButton) {
    send_mouse(w, QEvent::MouseMove, pos, Qt::NoButton, held);
}
inline void release(QWidget* w, QPoint pos, Qt::MouseButton b = Qt::LeftButton) {
    send_mouse(w, QEvent::MouseButtonRelease, pos, b, Qt::NoButton);
}
// Puts the pointer over `w`, a widget of a shown window, as the user's mouse
// would: the window system's enter and leave follow, and with them the looks
// a style sheet gives to ":hover".
inline void hover(QWidget* w) {
    QWidget* window = w->window();
    QTest::mouseMove(window, QPoint(window->width() - 1, window->height() - 1));
    QTest::mouseMove(w, w->rect().center());
    QApplication::processEvents();
}
inline void enter(QWidget* w) {
    QEvent ev(QEvent::Enter);
    QApplication::sendEvent(w, &ev);
}
inline void leave(QWidget* w) {
    QEvent ev(QEvent::Leave);
    QApplication::sendEvent(w, &ev);
}

// ---- what a widget shows ----------------------------------------------------

struct PaintedText {
    QString text;
    QColor colour;  // of the pen
    QPointF at;     // start of the base line, in the widget's coordinates
};
struct PaintedFill {
    QRectF rect;    // bounds of the filled shape, in the widget's coordinates
    QColor colour;  // of the brush, alpha included
};

// One render of a widget and its children, as drawing calls: each run of
// text with its pen colour and each filled shape with its brush colour.
struct Painting {
    std::vector<PaintedText> texts;
    std::vector<PaintedFill> fills;

    QStringList text_list() const {
        QStringList out;
        for (const PaintedText& t : texts) out << t.text;
        return out;
    }
    // The colour of the first run reading exactly `text`; invalid when none does.
    QColor colour_of(const QString& text) const {
        for (const PaintedText& t : texts)
            if (t.text == text) return t.colour;
        return QColor();
    }
    // The shapes filled in `colour` whose top edge lies at `top`, as a bar's fill.
    std::vector<PaintedFill> fills_from(const QColor& colour, double top) const {
        std::vector<PaintedFill> out;
        for (const PaintedFill& f : fills)
            if (f.colour == colour && std::abs(f.rect.top() - top) < 1e-6) out.push_back(f);
        return out;
    }
};

class RecordingEngine final : public QPaintEngine {
public:
    explicit RecordingEngine(Painting* out) : QPaintEngine(AllFeatures), out_(out) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    Type type() const override { return User; }
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawPath(const QPainterPath& path) override { fill(path.boundingRect()); }
    void drawPolygon(const QPointF* points, int count, PolygonDrawMode mode) override {
        if (mode == PolylineMode) return;
        QPolygonF polygon;
        for (int i = 0; i < count; ++i) polygon << points[i];
        fill(polygon.boundingRect());
    }
    void drawTextItem(const QPointF& at, const QTextItem& item) override {
        out_->texts.push_back({item.text(), painter()->pen().color(), painter()->deviceTransform().map(at)});
    }

private:
    void fill(const QRectF& rect) {
        const QBrush brush = painter()->brush();
        if (brush.style() == Qt::NoBrush) return;
        out_->fills.push_back({painter()->deviceTransform().mapRect(rect), brush.color()});
    }
    Painting* out_;
};

class RecordingDevice final : public QPaintDevice {
public:
    RecordingDevice(Painting* out, QSize size) : engine_(out), size_(size) {}
    QPaintEngine* paintEngine() const override { return &engine_; }

protected:
    int metric(PaintDeviceMetric m) const override {
        switch (m) {
            case PdmWidth: return size_.width();
            case PdmHeight: return size_.height();
            case PdmWidthMM: return size_.width() * 254 / 960;
            case PdmHeightMM: return size_.height() * 254 / 960;
            case PdmDpiX: case PdmDpiY: case PdmPhysicalDpiX: case PdmPhysicalDpiY: return 96;
            case PdmDepth: return 32;
            case PdmNumColors: return INT_MAX;
            case PdmDevicePixelRatio: return 1;
            case PdmDevicePixelRatioScaled: return int(devicePixelRatioFScale());
        }
        return 0;
    }

private:
    mutable RecordingEngine engine_;
    QSize size_;
};

// What `w` and its children paint themselves (no window background).
inline Painting painting_of(QWidget* w) {
    Painting out;
    RecordingDevice device(&out, w->size());
    QPainter p(&device);
    w->render(&p, QPoint(), QRegion(), QWidget::DrawChildren);
    p.end();
    return out;
}

// The colour of a button's face, left of its text, as shown.
inline QColor face(QWidget* button) {
    const QImage img = button->grab().toImage();
    return img.pixelColor(4, img.height() / 2);
}

// The visible widgets of type W under `root` that read `text`; a test wants
// exactly one.
template <class W = QAbstractButton>
W* with_text(QWidget* root, const QString& text) {
    W* found = nullptr;
    for (W* w : root->findChildren<W*>()) {
        if (w->text() != text || !w->isVisibleTo(root)) continue;
        if (found) return nullptr;
        found = w;
    }
    return found;
}

// The texts of the visible labels under `root`, as they are read: top to
// bottom, then left to right.
inline QStringList shown_texts(QWidget* root) {
    std::vector<std::pair<QPoint, QString>> at;
    for (QLabel* l : root->findChildren<QLabel*>())
        if (l->isVisibleTo(root)) at.emplace_back(l->mapTo(root, QPoint(0, 0)), l->text());
    std::stable_sort(at.begin(), at.end(), [](const auto& a, const auto& b) {
        return a.first.y() != b.first.y() ? a.first.y() < b.first.y() : a.first.x() < b.first.x();
    });
    QStringList out;
    for (const auto& [pos, text] : at) out << text;
    return out;
}

// Counts the paint events a widget receives while it lives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) : w_(w) { w->installEventFilter(this); }
    ~PaintCounter() override { w_->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++count;
        return false;
    }

private:
    QWidget* w_;
};

// The one table under `root` and what its cells hold.
inline QTableView* table_of(QWidget* root) { return root->findChild<QTableView*>(); }
inline QVariant cell(QTableView* t, int row, int col, int role = Qt::DisplayRole) {
    return t->model()->data(t->model()->index(row, col), role);
}
inline QStringList column_texts(QTableView* t, int col) {
    QStringList out;
    for (int r = 0; r < t->model()->rowCount(); ++r) out << cell(t, r, col).toString();
    return out;
}
// A left click on a row of a shown table, as the user selects it.
inline void click_row(QTableView* t, int row) {
    const QRect r = t->visualRect(t->model()->index(row, 1));
    QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

class FakeSettings : public vyr::app::SettingsStore {
public:
    std::map<std::string, vyr::app::SettingValue> values;
    std::vector<std::pair<std::string, vyr::app::SettingValue>> writes;

    vyr::app::SettingValue get(const std::string& key, const vyr::app::SettingValue& def) const override {
        auto it = values.find(key);
        return it == values.end() ? def : it->second;
    }
    void set(const std::string& key, const vyr::app::SettingValue& value) override {
        values[key] = value;
        writes.emplace_back(key, value);
    }
};

// The controller window: logs every call made on it, in order.
class FakeController : public QWidget, public vyr::app::MonitorController {
public:
    FakeSettings store;
    QIcon icon;
    QStringList calls;

    QWidget* monitor_window() override { return this; }
    vyr::app::SettingsStore& settings() override { return store; }
    QIcon app_icon() const override { return icon; }
    void begin_drag(const QPoint& p) override { calls << QStringLiteral("begin_drag(%1,%2)").arg(p.x()).arg(p.y()); }
    void perform_drag(const QPoint& p) override { calls << QStringLiteral("perform_drag(%1,%2)").arg(p.x()).arg(p.y()); }
    void end_drag() override { calls << QStringLiteral("end_drag"); }
    void close_vertical_popup(double s) override {
        calls << QStringLiteral("close_vertical_popup(") + vyr::app::fixed(s, 1) + QStringLiteral(")");
    }
    void sync_worker_params() override { calls << QStringLiteral("sync_worker_params"); }
};

struct TerminateCall {
    long long pid;
    bool force;
    std::string expected_name;
};

class FakeEngine : public vyr::app::MonitorEngine {
public:
    int scans = 0;
    int folder_reads = 0;
    std::vector<FolderUsageInfo> folders;
    std::vector<TerminateCall> terminations;
    vyr::app::TerminateResult result{true, "ok"};

    vyr::app::TerminateResult terminate_process(long long pid, bool force, const std::string& name) override {
        terminations.push_back({pid, force, name});
        return result;
    }
    void trigger_folder_scan_async() override { ++scans; }
    std::vector<FolderUsageInfo> get_folder_usages() override {
        ++folder_reads;
        return folders;
    }
};

struct BoxCall {
    QString kind;  // "information" or "question"
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button;
};

// Answers every question with `answer`, after running `while_open` (what
// happens while a real box would run its nested event loop).
class ScriptedBoxes : public vyr::app::MessageBoxes {
public:
    std::vector<BoxCall> calls;
    QMessageBox::StandardButton answer = QMessageBox::No;
    std::function<void()> while_open;

    void information(QWidget*, const QString& title, const QString& text) override {
        calls.push_back({QStringLiteral("information"), title, text, QMessageBox::Ok, QMessageBox::NoButton});
        if (while_open) while_open();
    }
    QMessageBox::StandardButton question(QWidget*, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton def) override {
        calls.push_back({QStringLiteral("question"), title, text, buttons, def});
        if (while_open) while_open();
        return answer;
    }
};

}  // namespace vyr::test

#include "vyr/shell/monitor_widget.hpp"

#include <chrono>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QFrame>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QMenu>
#include <QMoveEvent>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "vyr/app/capsule.hpp"
#include "vyr/app/drawing.hpp"
#include "vyr/app/inspector.hpp"
#include "vyr/app/monitor_engine.hpp"
#include "vyr/app/popup.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/settings_defaults.hpp"
#include "vyr/shell/error_guard.hpp"
#include "vyr/shell/program_resources.hpp"
#include "vyr/shell/window_shape.hpp"

namespace vyr::shell {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

class QtTimerPort final : public TimerPort {
public:
    QTimer* timer = nullptr;
    void start(int ms) override { timer->start(ms); }
    void stop() override { timer->stop(); }
    bool isActive() const override { return timer->isActive(); }
};

class WindowAdapter final : public WindowPort {
public:
    explicit WindowAdapter(VyrMonitorWidget* w) : w_(w) {}
    bool isVisible() const override { return w_->isVisible(); }
    QPoint pos() const override { return w_->frameGeometry().topLeft(); }
    QSize size() const override { return w_->size(); }
    QRect geometry() const override { return w_->geometry(); }
    void move(const QPoint& p) override { w_->place(p); }
    void show() override { w_->show(); }
    void hide() override { w_->hide(); }
    void raise() override { w_->raise(); }
    void baseShowNormal() override { w_->QWidget::showNormal(); }
    void setWindowFlags(bool on_top) override {
        Qt::WindowFlags flags = Qt::FramelessWindowHint | Qt::Tool;
        if (on_top) flags |= Qt::WindowStaysOnTopHint;
        w_->setWindowFlags(flags);
    }
    bool hasNativeWindow() const override { return w_->windowHandle() != nullptr; }
    void startSystemMove() override {
        if (QWindow* h = w_->windowHandle()) h->startSystemMove();
    }

private:
    VyrMonitorWidget* w_;
};

class CapsuleAdapter final : public CapsulePort {
public:
    vyr::app::SingleMainCapsule* c = nullptr;
    QPoint globalTopLeft() const override { return c->mapToGlobal(QPoint(0, 0)); }
    QSize size() const override { return c->size(); }
    bool underMouse() const override { return c->underMouse(); }
    void updateMain(double percent, const std::string& accent) override { c->update_main(percent, qs(accent)); }
    void repaint() override { c->update(); }
};

class PopupAdapter final : public PopupPort {
public:
    vyr::app::VyrVerticalPopup* p = nullptr;
    bool isVisible() const override { return p->isVisible(); }
    void hide() override { p->hide(); }
    bool isPinned() const override { return p->is_pinned(); }
    void setPinned(bool pinned) override { p->set_pinned(pinned); }
    void updatePinStyle() override { p->_update_pin_style(); }
    void clearRowHovers() override { p->clear_row_hovers(); }
    bool underMouse() const override { return p->underMouse(); }
    QRect frameGeometry() const override { return p->frameGeometry(); }
    void showNear(const QRect& anchor) override { p->show_near(anchor); }
    void updateSnapshot(const SystemMetricsSnapshot& snap) override { p->update_snapshot(snap); }
};

class InspectorAdapter final : public InspectorPort {
public:
    vyr::app::VyrProcessInspectorDialog* i = nullptr;
    bool isVisible() const override { return i->isVisible(); }
    bool isMinimized() const override { return i->isMinimized(); }
    std::string activeMetric() const override { return i->active_metric().toStdString(); }
    bool isPaused() const override { return i->is_paused(); }
    std::string searchText() const override { return i->search_text().toStdString(); }
    bool groupChecked() const override { return i->group_checked(); }
    void selectMetricTab(const std::string& key) override { i->select_metric_tab(qs(key)); }
    void hideInspector() override { i->hide_inspector(); }
    void showNormal() override { i->showNormal(); }
    void raise() override { i->raise(); }
    void activateWindow() override { i->activateWindow(); }
    QRect frameRect() const override { return QRect(i->x(), i->y(), i->width(), i->height()); }
    void move(const QPoint& p) override { i->move(p); }
    void setGeometry(const QRect& r) override { i->setGeometry(r); }
    void updateData(const SystemMetricsSnapshot& snap, const std::vector<ProcessEntry>& procs) override {
        i->update_data(snap, procs);
    }
};

class TrayAdapter final : public TrayPort {
public:
    QSystemTrayIcon* t = nullptr;
    bool isVisible() const override { return t->isVisible(); }
    QRect geometry() const override { return t->geometry(); }
    // Set only when its text changes: under a status-notifier tray every
    // setting is a message to the tray host, which then wakes as well.
    void setToolTip(const std::string& text) override {
        const QString tip = qs(text);
        if (t->toolTip() != tip) t->setToolTip(tip);
    }
};

class QtDesktop final : public DesktopPort {
public:
    std::optional<QRect> availableAt(const QPoint& point) const override {
        if (QScreen* s = QGuiApplication::screenAt(point)) return s->availableGeometry();
        return std::nullopt;
    }
    std::optional<QRect> primaryAvailable() const override {
        if (QScreen* s = QGuiApplication::primaryScreen()) return s->availableGeometry();
        return std::nullopt;
    }
    QPoint pointerPos() const override { return QCursor::pos(); }
    std::string platformName() const override { return QGuiApplication::platformName().toStdString(); }
    double now() const override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
};

class WorkerAdapter final : public WorkerPort {
public:
    TelemetryWorker* w = nullptr;
    void setParams(const WorkerParams& p) override { w->set_params(p); }
};

}  // namespace

class MonitorPorts {
public:
    explicit MonitorPorts(VyrMonitorWidget* w) : window(w) {}
    WindowAdapter window;
    QtDesktop desktop;
    QtTimerPort hover_open, hide_popup;
    PopupAdapter popup;
    CapsuleAdapter capsule;
    InspectorAdapter inspector;
    TrayAdapter tray;
    WorkerAdapter worker;
};

}  // namespace vyr::shell

using vyr::shell::guarded;

namespace {

const char* const kMenuStyle =
    "QMenu { background-color: #FFFFFF; color: #0F172A; border: 1px solid #CBD5E1; "
    "border-radius: 8px; padding: 6px; font-size: 12px; font-weight: 700; }"
    "QMenu::item { padding: 6px 16px; border-radius: 5px; }"
    "QMenu::item:selected { background-color: #ECFDF5; color: #0F172A; }";

const char* const kTrayMenuStyle =
    "QMenu { background-color: #FFFFFF; color: #0F172A; border: 1px solid #CBD5E1; "
    "padding: 4px; font-size: 12px; font-weight: 700; }"
    "QMenu::item { padding: 6px 14px; }"
    "QMenu::item:selected { background-color: #ECFDF5; color: #0F172A; }";

// A menu entry that shows its text as it stands: a lone "&" would mark a
// keyboard mnemonic and vanish from the label.
QString entry(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return escaped;
}

}  // namespace

VyrMonitorWidget::VyrMonitorWidget(vyr::shell::MonitorBackend& backend) : QWidget(nullptr) {
    using namespace vyr::shell;
    settings_ = backend.make_settings();
    engine_ = backend.make_engine();

    ports_ = std::make_unique<MonitorPorts>(this);
    logic_ = std::make_unique<MonitorLogic>(*settings_, ports_->window, ports_->desktop,
                                            ports_->hover_open, ports_->hide_popup);

    setWindowTitle(QStringLiteral("Vyr Ruvivu Zizodiro"));
    logic_->apply_window_flags(true);
    setAttribute(Qt::WA_TranslucentBackground, true);
    setWindowOpacity(1.0);

    search_icon(backend.assets_dir());

    hover_open_timer_ = new QTimer(this);
    hover_open_timer_->setSingleShot(true);
    connect(hover_open_timer_, &QTimer::timeout, this, [this] { guarded([&] { logic_->on_hover_open_timeout(); }); });
    ports_->hover_open.timer = hover_open_timer_;

    hide_popup_timer_ = new QTimer(this);
    hide_popup_timer_->setSingleShot(true);
    connect(hide_popup_timer_, &QTimer::timeout, this, [this] { guarded([&] { logic_->on_hide_popup_timeout(); }); });
    ports_->hide_popup.timer = hide_popup_timer_;

    popup_watchdog_timer_ = new QTimer(this);
    connect(popup_watchdog_timer_, &QTimer::timeout, this, [this] { guarded([&] { logic_->check_popup_watchdog(); }); });
    popup_watchdog_timer_->start(timing::kWatchdogMs);

    vertical_popup_ = std::make_unique<vyr::app::VyrVerticalPopup>(this);
    ports_->popup.p = vertical_popup_.get();
    logic_->attach_popup(&ports_->popup);
    auto* popup = vertical_popup_.get();
    connect(popup, &vyr::app::VyrVerticalPopup::metric_clicked, this, [this](const QString& key) {
        guarded([&] { logic_->on_popup_metric_clicked(key.toStdString()); });
    });
    connect(popup, &vyr::app::VyrVerticalPopup::popup_entered, this, [this] { guarded([&] { logic_->on_popup_entered(); }); });
    connect(popup, &vyr::app::VyrVerticalPopup::popup_left, this, [this] { guarded([&] { logic_->on_popup_left(); }); });
    connect(popup, &vyr::app::VyrVerticalPopup::manual_closed, this, [this] { guarded([&] { logic_->on_popup_manual_closed(); }); });

    build_ui();

    inspector_ = std::make_unique<vyr::app::VyrProcessInspectorDialog>(engine_.get(), settings_.get(), this);
    ports_->inspector.i = inspector_.get();
    logic_->attach_inspector(&ports_->inspector);

    // Without a compositing manager the three translucent windows keep to
    // their rounded cards: the capsule's plate, the popup's and the inspector's frame.
    auto* compositing = new CompositingWatch(this);
    // At the transparency level that draws no plate, the capsule keeps only
    // what it paints, as a composited desktop would show it.
    auto* capsule_shape = new WindowShape(this, main_capsule_, 1, 10, compositing,
                                          [capsule = main_capsule_] { return capsule->see_through_shape(); });
    connect(main_capsule_, &vyr::app::SingleMainCapsule::shape_changed, capsule_shape, &WindowShape::refresh);
    new WindowShape(vertical_popup_.get(), vertical_popup_->frame(), 0, 12, compositing);
    new WindowShape(inspector_.get(), inspector_->container(), 0, 12, compositing);

    setup_tray();
    restore_position();

    worker_ = std::make_unique<TelemetryWorker>(
        backend.make_telemetry_source(),
        refresh_interval_from(settings_->get("refresh_ms", SettingValue(vyr::settings::kRefreshMsDefault))));
    ports_->worker.w = worker_.get();
    logic_->attach_worker(&ports_->worker);
    connect(worker_.get(), &TelemetryWorker::snapshot_ready, this,
            [this](const TelemetryFramePtr& frame) { guarded([&] { on_telemetry_ready(frame); }); });
    worker_->start();
}

VyrMonitorWidget::~VyrMonitorWidget() {
    stop_worker();
    // The popup and the inspector keep this window as their controller.
    inspector_.reset();
    vertical_popup_.reset();
}

void VyrMonitorWidget::stop_worker() {
    if (!worker_) return;
    worker_->stop();
    worker_->wait();
}

void VyrMonitorWidget::search_icon(const std::string& assets_dir) {
    for (const std::string& candidate : vyr::shell::icon_candidates(assets_dir)) {
        const QString path = QString::fromStdString(candidate);
        if (!QFileInfo::exists(path)) continue;
        // Qt hands out a non-null icon for some unreadable files: ask the
        // image reader as well.
        if (!QImageReader(path).canRead()) continue;
        QIcon icon = vyr::shell::read_icon(path);
        if (icon.isNull()) continue;
        app_icon_ = icon;
        setWindowIcon(icon);
        if (QApplication::instance()) QApplication::setWindowIcon(icon);
        return;
    }
}

void VyrMonitorWidget::build_ui() {
    outer_layout_ = new QVBoxLayout(this);
    outer_layout_->setContentsMargins(2, 2, 2, 2);
    main_capsule_ = new vyr::app::SingleMainCapsule(this);
    ports_->capsule.c = main_capsule_;
    logic_->attach_capsule(&ports_->capsule);
    connect(main_capsule_, &vyr::app::SingleMainCapsule::hovered_enter, this, [this] { guarded([&] { logic_->on_capsule_entered(); }); });
    connect(main_capsule_, &vyr::app::SingleMainCapsule::hovered_leave, this, [this] { guarded([&] { logic_->on_capsule_left(); }); });
    connect(main_capsule_, &vyr::app::SingleMainCapsule::clicked, this, [this] { guarded([&] { logic_->on_main_capsule_clicked(); }); });
    connect(main_capsule_, &vyr::app::SingleMainCapsule::close_requested, this, [this] { guarded([&] { logic_->on_capsule_close_btn(); }); });
    outer_layout_->addWidget(main_capsule_);
    setFixedSize(86, 52);
}

void VyrMonitorWidget::setup_tray() {
    tray_ = new QSystemTrayIcon(app_icon_, this);
    tray_menu_ = std::make_unique<QMenu>();
    tray_menu_->setFont(vyr::app::make_clean_font(10));
    tray_menu_->setStyleSheet(QString::fromUtf8(kTrayMenuStyle));
    connect(tray_menu_->addAction(entry(QStringLiteral("Vyr Ruvivu Özeti Penceresini Aç / Kapat"))),
            &QAction::triggered, this, [this] { guarded([&] { logic_->toggle_tray_popup(); }); });
    connect(tray_menu_->addAction(entry(QStringLiteral("Masaüstü Tek Simgesini Göster / Gizle"))),
            &QAction::triggered, this, [this] { guarded([&] { logic_->toggle_desktop_capsule(); }); });
    connect(tray_menu_->addAction(entry(QStringLiteral("Canlı Kaynak & İşlem Denetçisini Aç"))),
            &QAction::triggered, this, [this] { guarded([&] { logic_->open_inspector("workload"); }); });
    tray_menu_->addSeparator();
    connect(tray_menu_->addAction(entry(QStringLiteral("Çıkış"))), &QAction::triggered, qApp, &QCoreApplication::quit);
    tray_->setContextMenu(tray_menu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        guarded([&] { logic_->on_tray_activated(reason == QSystemTrayIcon::Trigger); });
    });
    ports_->tray.t = tray_;
    logic_->attach_tray(&ports_->tray);
    tray_->show();
}

void VyrMonitorWidget::restore_position() {
    if (QCoreApplication::instance()) {
        for (QScreen* screen : QGuiApplication::screens()) {
            guarded([&] {
                connect(screen, &QScreen::availableGeometryChanged, this,
                        [this](const QRect&) { guarded([&] { logic_->clamp_to_screen(); }); });
                connect(screen, &QScreen::geometryChanged, this,
                        [this](const QRect&) { guarded([&] { logic_->clamp_to_screen(); }); });
            });
        }
    }
    logic_->restore_position();
}

void VyrMonitorWidget::on_telemetry_ready(const vyr::shell::TelemetryFramePtr& frame) {
    logic_->on_telemetry_ready(frame);
}

void VyrMonitorWidget::showNormal() { logic_->show_normal(); }

namespace {
constexpr qint64 kSettlingMs = 2000;
}

void VyrMonitorWidget::place(const QPoint& frame_top_left) {
    placed_at_ = frame_top_left;
    move(frame_top_left);
}

void VyrMonitorWidget::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    placed_at_ = pos();
    shown_.start();
}

void VyrMonitorWidget::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (!shown_.isValid() || shown_.elapsed() > kSettlingMs) {
        placed_at_ = pos();
        return;
    }
    if (pos() != placed_at_) {
        // Once: a window manager's own later move stands.
        shown_.invalidate();
        const QPoint target = placed_at_;
        QTimer::singleShot(0, this, [this, target] {
            if (pos() != target) move(target);
        });
    }
}

void VyrMonitorWidget::begin_drag(const QPoint& p) { guarded([&] { logic_->begin_drag(p); }); }
void VyrMonitorWidget::perform_drag(const QPoint& p) { guarded([&] { logic_->perform_drag(p); }); }
void VyrMonitorWidget::end_drag() { guarded([&] { logic_->end_drag(); }); }
void VyrMonitorWidget::close_vertical_popup(double s) { guarded([&] { logic_->close_vertical_popup(s); }); }
void VyrMonitorWidget::sync_worker_params() { guarded([&] { logic_->sync_worker_params(); }); }

std::unique_ptr<QMenu> VyrMonitorWidget::build_context_menu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->setFont(vyr::app::make_clean_font(10));
    menu->setStyleSheet(QString::fromUtf8(kMenuStyle));

    connect(menu->addAction(entry(QStringLiteral("Vyr Ruvivu Özeti Penceresini Göster / Kapat"))),
            &QAction::triggered, this, [this] { guarded([&] { logic_->on_main_capsule_clicked(); }); });
    connect(menu->addAction(entry(QStringLiteral("Canlı Kaynak & İşlem Denetçisini Aç"))), &QAction::triggered,
            this, [this] { guarded([&] { logic_->open_inspector("workload"); }); });
    menu->addSeparator();

    QAction* hover = menu->addAction(entry(QStringLiteral("Üzerine Gelince Özeti Otomatik Aç (Hover)")));
    hover->setCheckable(true);
    hover->setChecked(logic_->hover_popup_enabled());
    connect(hover, &QAction::triggered, this, [this](bool checked) { guarded([&] { logic_->toggle_hover_popup(checked); }); });

    QAction* top = menu->addAction(entry(QStringLiteral("Simgeyi Her Zaman Üstte Tut")));
    top->setCheckable(true);
    top->setChecked(logic_->always_on_top_enabled());
    connect(top, &QAction::triggered, this, [this] { guarded([&] { logic_->toggle_always_on_top(); }); });

    QAction* lock = menu->addAction(entry(QStringLiteral("Simge Konumunu Masaüstüne Kilitle")));
    lock->setCheckable(true);
    lock->setChecked(logic_->locked_enabled());
    connect(lock, &QAction::triggered, this, [this](bool checked) { guarded([&] { logic_->set_locked(checked); }); });

    QMenu* alpha = menu->addMenu(entry(QStringLiteral("Simge Şeffaflığı")));
    for (const auto& level : vyr::shell::kAlphaLevels) {
        const int value = level.value;
        connect(alpha->addAction(entry(QString::fromUtf8(level.text))), &QAction::triggered, this,
                [this, value] { guarded([&] { logic_->set_bg_alpha(value); }); });
    }
    menu->addSeparator();
    connect(menu->addAction(entry(QStringLiteral("Masaüstü Simgesini Gizle (Sadece Alt Çubuk Simgesi)"))),
            &QAction::triggered, this, [this] { guarded([&] { logic_->hide_desktop_icon(); }); });
    connect(menu->addAction(entry(QStringLiteral("Vyr Ruvivu Zizodiro'nden Çık"))), &QAction::triggered, qApp,
            &QCoreApplication::quit);
    return menu;
}

void VyrMonitorWidget::contextMenuEvent(QContextMenuEvent* event) {
    guarded([&] {
        logic_->close_vertical_popup(1.5);
        // A new menu for every right click, freed as soon as its modal run ends.
        std::unique_ptr<QMenu> menu = build_context_menu();
        menu->exec(event->globalPos());
        // The menu's pointer grab kept the capsule from seeing the pointer leave.
        main_capsule_->recheck_pointer();
    });
}

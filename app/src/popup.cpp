#include "vyr/app/popup.hpp"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include "vyr/app/drawing.hpp"
#include "vyr/app/metric_meta.hpp"
#include "vyr/app/popup_row.hpp"
#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

// max(low, min(high, value)): the low bound wins when high is below it.
int clamp_low_wins(int low, int high, int value) { return std::max(low, std::min(high, value)); }

const char* const kPinStyle =
    "QPushButton {\n"
    "    background-color: #ECFDF5;\n"
    "    color: #15803D;\n"
    "    border: 1px solid #86EFAC;\n"
    "    border-radius: 6px;\n"
    "    padding: 0px;\n"
    "}\n";

const char* const kUnpinStyle =
    "QPushButton {\n"
    "    background-color: #FFFFFF;\n"
    "    color: #475569;\n"
    "    border: 1px solid #CBD5E1;\n"
    "    border-radius: 6px;\n"
    "    padding: 0px;\n"
    "}\n"
    "QPushButton:hover {\n"
    "    background-color: #ECFDF5;\n"
    "    color: #15803D;\n"
    "}\n";

const char* const kFrameStyle =
    "QFrame#PopupFrame {\n"
    "    background-color: #F4F7FB;\n"
    "    border: 1.5px solid #CBD5E1;\n"
    "    border-radius: 12px;\n"
    "}\n";

const char* const kHeaderCloseStyle =
    "QPushButton {\n"
    "    background-color: #FEF2F2;\n"
    "    color: #DC2626;\n"
    "    border: 1px solid #FCA5A5;\n"
    "    border-radius: 6px;\n"
    "    padding: 0px;\n"
    "}\n"
    "QPushButton:hover {\n"
    "    background-color: #FEE2E2;\n"
    "    color: #B91C1C;\n"
    "}\n";

const char* const kInspectorButtonStyle =
    "QPushButton {\n"
    "    background-color: #15803D;\n"
    "    color: #FFFFFF;\n"
    "    border: 1px solid #166534;\n"
    "    border-radius: 6px;\n"
    "    padding: 2px 8px;\n"
    "}\n"
    "QPushButton:hover {\n"
    "    background-color: #166534;\n"
    "    color: #FFFFFF;\n"
    "}\n";

const char* const kBottomCloseStyle =
    "QPushButton {\n"
    "    background-color: #FEF2F2;\n"
    "    color: #DC2626;\n"
    "    border: 1px solid #FCA5A5;\n"
    "    border-radius: 6px;\n"
    "    padding: 2px 10px;\n"
    "}\n"
    "QPushButton:hover {\n"
    "    background-color: #FEE2E2;\n"
    "    color: #B91C1C;\n"
    "}\n";

QPushButton* small_button(const QString& text, int font_pt) {
    auto* b = new QPushButton(text);
    b->setFont(make_clean_font(font_pt));
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

}  // namespace

QPoint popup_position(const QRect& anchor, const QRect& avail, int w, int h) {
    const int gap = 4;
    const int margin = 6;
    const bool at_left = anchor.left() - avail.left() < 140;
    if (at_left && anchor.right() + gap + w <= avail.right()) {
        return {anchor.right() + gap,
                clamp_low_wins(avail.top() + margin, avail.bottom() - h - margin, anchor.top())};
    }
    const bool room_above = anchor.top() - h - gap >= avail.top();
    if (avail.right() - anchor.right() < 140 && anchor.left() - gap - w >= avail.left()) {
        if (room_above && avail.bottom() - anchor.bottom() < 90) {
            return {clamp_low_wins(avail.left() + margin, avail.right() - w - margin, anchor.right() - w),
                    anchor.top() - h - gap};
        }
        return {anchor.left() - w - gap,
                clamp_low_wins(avail.top() + margin, avail.bottom() - h - margin, anchor.center().y() - h / 2)};
    }
    const int x = clamp_low_wins(avail.left() + margin, avail.right() - w - margin, anchor.center().x() - w / 2);
    if (room_above) return {x, anchor.top() - h - gap};
    return {x, std::min(anchor.bottom() + gap, avail.bottom() - h - margin)};
}

VyrVerticalPopup::VyrVerticalPopup(MonitorController* parent_monitor_)
    : QWidget(nullptr), parent_monitor(parent_monitor_) {
    setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground, true);
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    setMouseTracking(true);

    QBoxLayout* lay = _build_frame();
    _build_header(lay);
    _build_rows(lay);
    _build_actions(lay);
    adjustSize();
}

// The rounded panel that fills the window; returns the layout of its rows.
QBoxLayout* VyrVerticalPopup::_build_frame() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    frame_ = new QFrame(this);
    frame_->setObjectName(QStringLiteral("PopupFrame"));
    frame_->setStyleSheet(QString::fromLatin1(kFrameStyle));
    outer->addWidget(frame_);

    auto* lay = new QVBoxLayout(frame_);
    lay->setContentsMargins(10, 9, 10, 9);
    lay->setSpacing(5);
    return lay;
}

// The title, then the pin and close buttons at the right.
void VyrVerticalPopup::_build_header(QBoxLayout* lay) {
    auto* hdr = new QHBoxLayout();
    hdr->setContentsMargins(2, 0, 2, 2);
    hdr->setSpacing(6);
    auto* lbl_t = new QLabel(QStringLiteral("Vyr Ruvivu Özeti"));
    lbl_t->setTextFormat(Qt::PlainText);
    lbl_t->setFont(make_clean_font(10));
    lbl_t->setStyleSheet(QStringLiteral("color: #15803D; background: transparent;"));

    btn_pin = small_button(QStringLiteral("Sabitle"), 9);
    btn_pin->setFixedSize(62, 22);
    btn_pin->setToolTip(QStringLiteral("Özeti ekranda açık tutmak için sabitle / çöz"));
    connect(btn_pin, &QPushButton::clicked, this, [this] { toggle_pin(); });
    _update_pin_style();

    btn_close_popup = small_button(QStringLiteral("✕"), 9);
    btn_close_popup->setFixedSize(24, 22);
    btn_close_popup->setToolTip(QStringLiteral("Vyr Ruvivu Özeti penceresini kapat"));
    btn_close_popup->setStyleSheet(QString::fromLatin1(kHeaderCloseStyle));
    connect(btn_close_popup, &QPushButton::clicked, this, [this] { _on_close_btn_clicked(); });

    hdr->addWidget(lbl_t);
    hdr->addStretch();
    hdr->addWidget(btn_pin);
    hdr->addWidget(btn_close_popup);
    lay->addLayout(hdr);
}

// One row per metric, in the metric table's order; a row's click is the popup's.
void VyrVerticalPopup::_build_rows(QBoxLayout* lay) {
    for (const auto& meta : METRIC_META) {
        auto* r = new PopupMetricRow(qs(meta.key), frame_);
        connect(r, &PopupMetricRow::clicked, this, &VyrVerticalPopup::metric_clicked);
        rows.emplace_back(qs(meta.key), r);
        lay->addWidget(r);
    }
}

// The inspector button, which asks for the workload tab, and "Kapat".
void VyrVerticalPopup::_build_actions(QBoxLayout* lay) {
    auto* action_row = new QHBoxLayout();
    action_row->setContentsMargins(0, 2, 0, 0);
    action_row->setSpacing(6);
    btn_open_inspector = small_button(QStringLiteral("Detaylı İşlem Denetçisi"), 9);
    btn_open_inspector->setFixedHeight(26);
    btn_open_inspector->setStyleSheet(QString::fromLatin1(kInspectorButtonStyle));
    connect(btn_open_inspector, &QPushButton::clicked, this,
            [this] { emit metric_clicked(QStringLiteral("workload")); });

    btn_bottom_close = small_button(QStringLiteral("Kapat"), 9);
    btn_bottom_close->setFixedHeight(26);
    btn_bottom_close->setStyleSheet(QString::fromLatin1(kBottomCloseStyle));
    connect(btn_bottom_close, &QPushButton::clicked, this, [this] { _on_close_btn_clicked(); });

    action_row->addWidget(btn_open_inspector, 1);
    action_row->addWidget(btn_bottom_close);
    lay->addLayout(action_row);
}

PopupMetricRow* VyrVerticalPopup::row(const QString& metric_key) const {
    for (const auto& [key, r] : rows)
        if (key == metric_key) return r;
    return nullptr;
}

void VyrVerticalPopup::update_snapshot(const SystemMetricsSnapshot& snap) {
    const QString bullet = QStringLiteral(" • ");
    row(QStringLiteral("workload"))
        ->update_row(snap.overall_workload_percent,
                     qs(snap.workload_label) + QStringLiteral(" • Load: ") + fixed(snap.load_1m, 2) + bullet +
                         qs(snap.uptime_str),
                     qs(snap.workload_color));

    const QString freq_txt = snap.cpu_freq_mhz > 0 ? fixed(snap.cpu_freq_mhz / 1000.0, 2) + QStringLiteral(" GHz")
                                                   : QStringLiteral("-");
    row(QStringLiteral("cpu"))
        ->update_row(snap.cpu_percent, freq_txt + bullet + integer(snap.cpu_count_physical) + QStringLiteral("C / ") +
                                           integer(snap.cpu_count_logical) + QStringLiteral("T Çekirdek"));

    row(QStringLiteral("ram"))
        ->update_row(snap.ram_percent, QStringLiteral("Dolu: ") + fixed(snap.ram_used_gb, 1) + QStringLiteral(" / ") +
                                           fixed(snap.ram_total_gb, 1) + QStringLiteral(" GB (Boş: ") +
                                           fixed(snap.ram_avail_gb, 1) + QStringLiteral(" GB)"));

    const double rw_speed = snap.disk_read_mb_s + snap.disk_write_mb_s;
    row(QStringLiteral("disk"))
        ->update_row(snap.disk_percent, QStringLiteral("Dolu: ") + fixed(snap.disk_used_gb, 0) +
                                            QStringLiteral(" / ") + fixed(snap.disk_total_gb, 0) +
                                            QStringLiteral(" GB • Hız: ") + fixed(rw_speed, 1) +
                                            QStringLiteral(" MB/s"));

    row(QStringLiteral("swap"))
        ->update_row(snap.swap_percent, QStringLiteral("Dolu: ") + fixed(snap.swap_used_gb, 2) +
                                            QStringLiteral(" / ") + fixed(snap.swap_total_gb, 1) +
                                            QStringLiteral(" GB (Boş: ") + fixed(snap.swap_free_gb, 1) +
                                            QStringLiteral(" GB)"));
}

void VyrVerticalPopup::toggle_pin() {
    is_pinned_ = !is_pinned_;
    _update_pin_style();
}

void VyrVerticalPopup::_update_pin_style() {
    btn_pin->setStyleSheet(QString::fromLatin1(is_pinned_ ? kPinStyle : kUnpinStyle));
}

void VyrVerticalPopup::_on_close_btn_clicked() {
    is_pinned_ = false;
    _update_pin_style();
    clear_row_hovers();
    hide();
    emit manual_closed();
}

void VyrVerticalPopup::clear_row_hovers() {
    for (const auto& [key, r] : rows) r->clear_hover();
}

void VyrVerticalPopup::show_near(const QRect& anchor_rect) {
    adjustSize();
    QScreen* screen = QApplication::screenAt(anchor_rect.center());
    if (!screen) screen = QApplication::primaryScreen();
    const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    move(popup_position(anchor_rect, avail, width(), height()));
    if (!isVisible()) show();
    raise();
}

void VyrVerticalPopup::enterEvent(QEvent* event) {
    emit popup_entered();
    QWidget::enterEvent(event);
}

void VyrVerticalPopup::leaveEvent(QEvent* event) {
    clear_row_hovers();
    emit popup_left();
    QWidget::leaveEvent(event);
}

void VyrVerticalPopup::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        _on_close_btn_clicked();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void VyrVerticalPopup::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        _drag_offset = event->globalPos() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    if (event->button() == Qt::RightButton) {
        _on_close_btn_clicked();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void VyrVerticalPopup::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && _drag_offset) {
        move(event->globalPos() - *_drag_offset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void VyrVerticalPopup::mouseReleaseEvent(QMouseEvent* event) {
    _drag_offset.reset();
    QWidget::mouseReleaseEvent(event);
}

}  // namespace vyr::app

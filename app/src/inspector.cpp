#include "vyr/app/inspector.hpp"

#include "footer_label.hpp"
#include "process_table.hpp"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWindow>

#include <vector>

#include "vyr/app/drawing.hpp"
#include "vyr/app/metric_meta.hpp"
#include "vyr/app/monitor_controller.hpp"
#include "vyr/app/monitor_engine.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

const char* const kActiveTabStyle =
    "QPushButton {\n"
    "    background-color: #15803D;\n"
    "    color: #FFFFFF;\n"
    "    border: 1px solid #15803D;\n"
    "    border-radius: 7px;\n"
    "    padding: 4px 12px;\n"
    "    font-size: 11px;\n"
    "    font-weight: 700;\n"
    "}\n";

const char* const kInactiveTabStyle =
    "QPushButton {\n"
    "    background-color: #FFFFFF;\n"
    "    color: #475569;\n"
    "    border: 1px solid #CBD5E1;\n"
    "    border-radius: 7px;\n"
    "    padding: 4px 12px;\n"
    "    font-size: 11px;\n"
    "    font-weight: 700;\n"
    "}\n"
    "QPushButton:hover {\n"
    "    background-color: #ECFDF5;\n"
    "    color: #15803D;\n"
    "}\n";

const char* const kInspectorStyle =
    "QFrame#InspectorContainer {\n"
    "    background-color: #F4F7FB;\n"
    "    border: 1px solid #CBD5E1;\n"
    "    border-radius: 12px;\n"
    "}\n"
    "QLabel {\n"
    "    color: #0F172A;\n"
    "    font-family: 'Ubuntu', 'Inter', sans-serif;\n"
    "    font-weight: 700;\n"
    "}\n"
    "QLineEdit {\n"
    "    background-color: #FFFFFF;\n"
    "    border: 1px solid #CBD5E1;\n"
    "    border-radius: 7px;\n"
    "    color: #0F172A;\n"
    "    padding: 6px 10px;\n"
    "    font-size: 12px;\n"
    "    font-weight: 700;\n"
    "}\n"
    "QLineEdit:focus {\n"
    "    border: 1px solid #0284C7;\n"
    "}\n"
    "QCheckBox {\n"
    "    color: #334155;\n"
    "    font-size: 12px;\n"
    "    font-weight: 700;\n"
    "    spacing: 6px;\n"
    "}\n"
    "QTableWidget {\n"
    "    background-color: #FFFFFF;\n"
    "    alternate-background-color: #F8FAFC;\n"
    "    color: #0F172A;\n"
    "    border: 1px solid #CBD5E1;\n"
    "    border-radius: 8px;\n"
    "    gridline-color: #E2E8F0;\n"
    "    font-size: 12px;\n"
    "    font-weight: 700;\n"
    "    selection-background-color: #ECFDF5;\n"
    "    selection-color: #0F172A;\n"
    "}\n"
    "QHeaderView::section {\n"
    "    background-color: #F8FAFC;\n"
    "    color: #475569;\n"
    "    font-size: 11px;\n"
    "    font-weight: 700;\n"
    "    padding: 7px 6px;\n"
    "    border: none;\n"
    "    border-bottom: 1px solid #CBD5E1;\n"
    "}\n";

QLabel* plain_label(const QString& text) {
    auto* l = new QLabel();
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    return l;
}

QPushButton* action_button(const QString& text, const QString& style) {
    auto* b = new QPushButton(text);
    b->setFont(make_clean_font(10));
    b->setCursor(Qt::PointingHandCursor);
    b->setFixedHeight(28);
    b->setStyleSheet(style);
    return b;
}

QString join(const QStringList& parts, const char* sep) { return parts.join(QString::fromUtf8(sep)); }

// A wrapped summary may break a line after the slash of "MB/s"; an invisible
// word joiner there keeps the unit on one line.
QString units_kept_whole(QString text) {
    return text.replace(QStringLiteral("MB/s"), QStringLiteral("MB/\u2060s"));
}

// The summary texts of each tab for one sample.
QStringList core_loads(const SystemMetricsSnapshot& snap) {
    QStringList cores;
    for (std::size_t k = 0; k < snap.cpu_per_core.size() && k < 8; ++k)
        cores << QStringLiteral("C") + integer(static_cast<long long>(k) + 1) + QStringLiteral(":%") +
                     fixed(snap.cpu_per_core[k], 0);
    return cores;
}

std::pair<QString, QString> cpu_summary(const SystemMetricsSnapshot& snap) {
    QString cores_preview = join(core_loads(snap), "  ");
    if (snap.cpu_per_core.size() > 8) cores_preview += QStringLiteral(" ...");
    return {QStringLiteral("Toplam İşlemci Yükü: %") + fixed(snap.cpu_percent, 1) + QStringLiteral("   |   Frekans: ") +
                fixed(snap.cpu_freq_mhz / 1000, 2) + QStringLiteral(" GHz   |   Çekirdek: ") +
                integer(snap.cpu_count_physical) + QStringLiteral(" Fiziksel / ") + integer(snap.cpu_count_logical) +
                QStringLiteral(" Mantıksal"),
            QStringLiteral("Çekirdek Dağılımı: ") + cores_preview};
}

std::pair<QString, QString> ram_summary(const SystemMetricsSnapshot& snap) {
    return {QStringLiteral("Kullanılan RAM: ") + fixed(snap.ram_used_gb, 2) + QStringLiteral(" GB / ") +
                fixed(snap.ram_total_gb, 2) + QStringLiteral(" GB (%") + fixed(snap.ram_percent, 1) +
                QStringLiteral(")   |   Kullanılabilir (Boş): ") + fixed(snap.ram_avail_gb, 2) + QStringLiteral(" GB"),
            QStringLiteral("Önbellek: ") + fixed(snap.ram_cached_gb, 2) +
                QStringLiteral(" GB — Aşağıda en çok bellek kullanan programlar sıralanmaktadır.")};
}

std::pair<QString, QString> swap_summary(const SystemMetricsSnapshot& snap) {
    return {QStringLiteral("Takas Belleği Kullanımı: ") + fixed(snap.swap_used_gb, 2) + QStringLiteral(" GB (") +
                fixed(snap.swap_used_mb, 0) + QStringLiteral(" MB) / ") + fixed(snap.swap_total_gb, 2) +
                QStringLiteral(" GB (%") + fixed(snap.swap_percent, 1) + QStringLiteral(")   |   Boş: ") +
                fixed(snap.swap_free_gb, 2) + QStringLiteral(" GB"),
            QStringLiteral("Toplam Giriş: ") + fixed(snap.swap_sin_mb, 0) + QStringLiteral(" MB  |  Çıkış: ") +
                fixed(snap.swap_sout_mb, 0) +
                QStringLiteral(" MB — Aşağıda takas belleğini kullanan işlemler sıralanmaktadır.")};
}

QString partitions_text(const SystemMetricsSnapshot& snap) {
    QStringList parts;
    for (std::size_t i = 0; i < snap.partitions.size() && i < 3; ++i) {
        const DiskPartitionInfo& part = snap.partitions[i];
        parts << qs(part.mountpoint) + QStringLiteral(" (") + qs(part.device) + QStringLiteral("): ") +
                     fixed(part.used_gb, 1) + QStringLiteral("/") + fixed(part.total_gb, 1) + QStringLiteral(" GB (%") +
                     fixed(part.percent, 1) + QStringLiteral(")");
    }
    return join(parts, "  •  ");
}

QString folders_text(const std::vector<FolderUsageInfo>& folders) {
    if (folders.empty()) return QStringLiteral("Klasör boyutları hesaplanıyor...");
    QStringList items;
    for (std::size_t i = 0; i < folders.size() && i < 4; ++i)
        items << qs(folders[i].label) + QStringLiteral(": ") + qs(folders[i].size_str);
    return join(items, "  |  ");
}

// The folder list is asked for after the partitions are written out.
std::pair<QString, QString> disk_summary(const SystemMetricsSnapshot& snap, MonitorEngine* engine) {
    const QString parts_txt = partitions_text(snap);
    const QString folders_txt = folders_text(engine->get_folder_usages());
    return {units_kept_whole(QStringLiteral("Disk Doluluğu: %") + fixed(snap.disk_percent, 1) + QStringLiteral(" (") +
                             fixed(snap.disk_used_gb, 1) + QStringLiteral(" / ") + fixed(snap.disk_total_gb, 1) +
                             QStringLiteral(" GB, Boş: ") + fixed(snap.disk_free_gb, 1) +
                             QStringLiteral(" GB)   |   Anlık Okuma: ") + fixed(snap.disk_read_mb_s, 2) +
                             QStringLiteral(" MB/s  •  Yazma: ") + fixed(snap.disk_write_mb_s, 2) +
                             QStringLiteral(" MB/s")),
            QStringLiteral("Bölümler: ") + parts_txt + QStringLiteral("\n") + QStringLiteral("Klasör Dağılımı: ") +
                folders_txt};
}

std::pair<QString, QString> workload_summary(const SystemMetricsSnapshot& snap) {
    return {QStringLiteral("Genel İş Yükü: %") + fixed(snap.overall_workload_percent, 1) + QStringLiteral(" (") +
                qs(snap.workload_label) + QStringLiteral(")   |   Çalışma Süresi: ") + qs(snap.uptime_str),
            QStringLiteral("Özet: CPU %") + fixed(snap.cpu_percent, 1) + QStringLiteral("  •  RAM %") +
                fixed(snap.ram_percent, 1) + QStringLiteral("  •  Takas %") + fixed(snap.swap_percent, 1) +
                QStringLiteral("  •  Disk %") + fixed(snap.disk_percent, 1)};
}

}  // namespace

VyrProcessInspectorDialog::VyrProcessInspectorDialog(MonitorEngine* engine_, SettingsStore* settings_,
                                                     MonitorController* parent_monitor_)
    : QWidget(nullptr), engine(engine_), settings(settings_), parent_monitor(parent_monitor_) {
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("Vyr Ruvivu Zizodiro — Canlı Program ve İşlem Denetçisi"));
    const QIcon icon = parent_monitor->app_icon();
    if (!icon.isNull()) setWindowIcon(icon);
    resize(780, 530);
    _build_ui();
}

QString VyrProcessInspectorDialog::_action_btn_style(const QString& bg, const QString& fg, const QString& border) {
    return QStringLiteral("\nQPushButton {\n"
                          "    background-color: ") + bg + QStringLiteral(";\n"
                          "    color: ") + fg + QStringLiteral(";\n"
                          "    border: 1px solid ") + border + QStringLiteral(";\n"
                          "    border-radius: 6px;\n"
                          "    padding: 4px 11px;\n"
                          "    font-size: 11px;\n"
                          "    font-weight: 700;\n"
                          "}\n"
                          "QPushButton:hover {\n"
                          "    background-color: ") + border + QStringLiteral(";\n"
                          "    color: #0F172A;\n"
                          "}\n");
}

void VyrProcessInspectorDialog::_build_ui() {
    QBoxLayout* layout = _build_card();
    _build_header(layout);
    _build_tabs(layout);
    _build_summary(layout);
    _build_tools(layout);
    _build_table(layout);
    _build_footer(layout);
    _update_tab_styles();
}

// The rounded card that fills the window, 6 px in from each edge; returns
// the layout that holds the rows of the window.
QBoxLayout* VyrProcessInspectorDialog::_build_card() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    container_ = new QFrame(this);
    container_->setObjectName(QStringLiteral("InspectorContainer"));
    container_->setStyleSheet(QString::fromUtf8(kInspectorStyle));
    outer->addWidget(container_);
    auto* layout = new QVBoxLayout(container_);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(10);
    return layout;
}

// Heading and hint on the left; pause, minimise and close on the right.
void VyrProcessInspectorDialog::_build_header(QBoxLayout* layout) {
    auto* header = new QHBoxLayout();
    header->setSpacing(8);
    lbl_header_title = plain_label(QStringLiteral("Canlı Kaynak ve İşlem Denetçisi"));
    lbl_header_title->setFont(make_clean_font(12));
    lbl_header_title->setStyleSheet(QStringLiteral("color: #0F172A; font-weight: 700;"));
    lbl_header_sub = plain_label(QStringLiteral(
        "Yükün hangi program ve işlemlerden geldiği canlı listeleniyor (Kapatmak için ✕ veya Esc)"));
    lbl_header_sub->setFont(make_clean_font(9));
    lbl_header_sub->setStyleSheet(QStringLiteral("color: #475569; font-weight: 700;"));
    // The hint wraps rather than widen the window past its 780 px: the
    // heading's column takes the header's spare width for it.
    lbl_header_sub->setWordWrap(true);
    auto* title_col = new QVBoxLayout();
    title_col->setSpacing(2);
    title_col->addWidget(lbl_header_title);
    title_col->addWidget(lbl_header_sub);
    header->addLayout(title_col, 1);
    header->addStretch();

    const QString plain_look =
        _action_btn_style(QStringLiteral("#FFFFFF"), QStringLiteral("#0F172A"), QStringLiteral("#CBD5E1"));
    btn_pause = action_button(QStringLiteral("Duraklat"), plain_look);
    connect(btn_pause, &QPushButton::clicked, this, [this] { _toggle_pause(); });

    btn_min = action_button(QStringLiteral("—"), plain_look);
    btn_min->setFixedSize(30, 28);
    btn_min->setToolTip(QStringLiteral("Pencereyi küçült"));
    connect(btn_min, &QPushButton::clicked, this, &QWidget::showMinimized);

    btn_close = action_button(QStringLiteral("✕ Kapat"),
                              _action_btn_style(QStringLiteral("#FEF2F2"), QStringLiteral("#DC2626"),
                                                QStringLiteral("#4A3339")));
    btn_close->setToolTip(QStringLiteral("Denetçi penceresini kapat (Esc)"));
    connect(btn_close, &QPushButton::clicked, this, [this] { hide_inspector(); });

    header->addWidget(btn_pause);
    header->addWidget(btn_min);
    header->addWidget(btn_close);
    layout->addLayout(header);
}

// One tab per metric, in the metric table's order; each selects its own metric.
void VyrProcessInspectorDialog::_build_tabs(QBoxLayout* layout) {
    auto* tabs_row = new QHBoxLayout();
    tabs_row->setSpacing(6);
    tab_buttons.clear();
    for (const auto& meta : METRIC_META) {
        const QString key = qs(meta.key);
        auto* btn = new QPushButton(qs(meta.title));
        btn->setFont(make_clean_font(10));
        btn->setCursor(Qt::PointingHandCursor);
        btn->setFixedHeight(30);
        connect(btn, &QPushButton::clicked, this, [this, key] { select_metric_tab(key); });
        tab_buttons.emplace_back(key, btn);
        tabs_row->addWidget(btn);
    }
    layout->addLayout(tabs_row);
}

// The white box of the two summary lines, "-" until the first refresh.
void VyrProcessInspectorDialog::_build_summary(QBoxLayout* layout) {
    summary_frame = new QFrame();
    summary_frame->setStyleSheet(
        QStringLiteral("background-color: #FFFFFF; border: 1px solid #CBD5E1; border-radius: 8px;"));
    auto* sum_layout = new QVBoxLayout(summary_frame);
    sum_layout->setContentsMargins(12, 8, 12, 8);
    sum_layout->setSpacing(3);
    lbl_summary_primary = plain_label(QStringLiteral("-"));
    lbl_summary_primary->setFont(make_clean_font(10));
    lbl_summary_primary->setStyleSheet(QStringLiteral("color: #0F172A; font-weight: 700;"));
    lbl_summary_primary->setWordWrap(true);
    lbl_summary_secondary = plain_label(QStringLiteral("-"));
    lbl_summary_secondary->setFont(make_clean_font(9));
    lbl_summary_secondary->setStyleSheet(QStringLiteral("color: #475569; font-weight: 700;"));
    lbl_summary_secondary->setWordWrap(true);
    sum_layout->addWidget(lbl_summary_primary);
    sum_layout->addWidget(lbl_summary_secondary);
    layout->addWidget(summary_frame);
}

// Search field, grouping box and the two actions. The box takes the stored
// choice before it is connected: building writes nothing and syncs nothing.
void VyrProcessInspectorDialog::_build_tools(QBoxLayout* layout) {
    auto* tools_row = new QHBoxLayout();
    tools_row->setSpacing(8);
    search_input = new QLineEdit();
    search_input->setFont(make_clean_font(10));
    search_input->setPlaceholderText(QStringLiteral("Program adı, komut veya PID ara..."));
    connect(search_input, &QLineEdit::textChanged, this, [this] { parent_monitor->sync_worker_params(); });

    chk_group = new QCheckBox(QStringLiteral("Aynı Programları Grupla"));
    chk_group->setFont(make_clean_font(10));
    chk_group->setChecked(settings->get("group_by_app", SettingValue(false)).truthy());
    connect(chk_group, &QCheckBox::toggled, this, [this](bool checked) { _on_group_toggled(checked); });

    btn_term = action_button(QStringLiteral("Sonlandır"),
                             _action_btn_style(QStringLiteral("#FEF2F2"), QStringLiteral("#DC2626"),
                                               QStringLiteral("#52383F")));
    connect(btn_term, &QPushButton::clicked, this, [this] { _terminate_selected(false); });
    btn_kill = action_button(QStringLiteral("Zorla Kapat"),
                             _action_btn_style(QStringLiteral("#FEF2F2"), QStringLiteral("#DC2626"),
                                               QStringLiteral("#422C31")));
    connect(btn_kill, &QPushButton::clicked, this, [this] { _terminate_selected(true); });

    tools_row->addWidget(search_input, 1);
    tools_row->addWidget(chk_group);
    tools_row->addWidget(btn_term);
    tools_row->addWidget(btn_kill);
    layout->addLayout(tools_row);
}

// The process table, whose columns it describes itself: whole-row single
// selection, no editing, no row numbers.
void VyrProcessInspectorDialog::_build_table(QBoxLayout* layout) {
    table = new ProcessTable();
    table->setFont(make_clean_font(10));
    table->setAlternatingRowColors(true);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->setVisible(false);
    layout->addWidget(table, 1);
}

void VyrProcessInspectorDialog::_build_footer(QBoxLayout* layout) {
    lbl_footer = new FooterLabel(
        QStringLiteral("Sekmelere tıklayarak sıralamayı değiştirebilir, işlem sonlandırabilirsiniz."));
    lbl_footer->setFont(make_clean_font(9));
    lbl_footer->setStyleSheet(QStringLiteral("color: #475569; font-weight: 700;"));
    layout->addWidget(lbl_footer);
}

QString VyrProcessInspectorDialog::search_text() const { return search_input->text(); }

bool VyrProcessInspectorDialog::group_checked() const { return chk_group->isChecked(); }

void VyrProcessInspectorDialog::set_message_boxes(MessageBoxes* boxes) { boxes_ = boxes ? boxes : &qt_boxes_; }

void VyrProcessInspectorDialog::_update_tab_styles() {
    for (const auto& [key, btn] : tab_buttons)
        btn->setStyleSheet(QString::fromLatin1(key == active_metric_ ? kActiveTabStyle : kInactiveTabStyle));
}

void VyrProcessInspectorDialog::select_metric_tab(const QString& metric_key) {
    active_metric_ = metric_key;
    const MetricMeta* meta = find_metric_meta(metric_key.toUtf8().constData());
    if (!meta) meta = find_metric_meta("workload");
    lbl_header_title->setText(qs(meta->full_title));
    _update_tab_styles();
    if (metric_key == QLatin1String("disk")) engine->trigger_folder_scan_async();
    parent_monitor->sync_worker_params();
}

void VyrProcessInspectorDialog::_toggle_pause() {
    is_paused_ = !is_paused_;
    if (is_paused_) {
        btn_pause->setText(QStringLiteral("Devam Et"));
        btn_pause->setStyleSheet(
            _action_btn_style(QStringLiteral("#ECFDF5"), QStringLiteral("#15803D"), QStringLiteral("#34524C")));
    } else {
        btn_pause->setText(QStringLiteral("Duraklat"));
        btn_pause->setStyleSheet(
            _action_btn_style(QStringLiteral("#FFFFFF"), QStringLiteral("#0F172A"), QStringLiteral("#CBD5E1")));
    }
    parent_monitor->sync_worker_params();
}

void VyrProcessInspectorDialog::_on_group_toggled(bool checked) {
    settings->set("group_by_app", SettingValue(checked));
    parent_monitor->sync_worker_params();
}

void VyrProcessInspectorDialog::hide_inspector() {
    hide();
    parent_monitor->sync_worker_params();
    emit closed_signal();
}

int VyrProcessInspectorDialog::selected_row() const {
    const QModelIndexList rows = table->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

std::optional<long long> VyrProcessInspectorDialog::_get_selected_pid() const {
    const int row = selected_row();
    if (row < 0) return std::nullopt;
    return table->pid_of(row);
}

void VyrProcessInspectorDialog::_terminate_selected(bool force) {
    const std::optional<long long> pid = _get_selected_pid();
    if (!pid) {
        boxes_->information(this, QStringLiteral("Vyr Ruvivu Zizodiro"),
                            QStringLiteral("Lütfen önce tablodan sonlandırmak istediğiniz işlemi seçin."));
        return;
    }
    // Name and id are taken before the question: a refresh may rebuild the
    // table while it is open.
    const int row = selected_row();
    const QTableWidgetItem* name_item = table->item(row, 1);
    const QString pname = name_item ? name_item->text() : integer(*pid);
    // The name as the engine gave it, byte for byte: the engine ends the
    // process only while its name is still this one.
    const std::string expected_name = table->name_of(row).value_or(std::string());
    const QString action_txt = force ? QStringLiteral("zorla kapatmak") : QStringLiteral("sonlandırmak");
    const QString question = QStringLiteral("'") + pname + QStringLiteral("' (PID: ") + integer(*pid) +
                             QStringLiteral(") işlemini ") + action_txt +
                             QStringLiteral(" istediğinize emin misiniz?");
    const QMessageBox::StandardButton ans =
        boxes_->question(this, QStringLiteral("İşlemi Sonlandır"), question, QMessageBox::Yes | QMessageBox::No,
                         QMessageBox::No);
    if (ans != QMessageBox::Yes) return;
    const TerminateResult result = engine->terminate_process(*pid, force, expected_name);
    lbl_footer->set_message(qs(result.message));
}

std::pair<QString, QString> VyrProcessInspectorDialog::_summary_texts(const SystemMetricsSnapshot& snap) const {
    if (active_metric_ == QLatin1String("cpu")) return cpu_summary(snap);
    if (active_metric_ == QLatin1String("ram")) return ram_summary(snap);
    if (active_metric_ == QLatin1String("swap")) return swap_summary(snap);
    if (active_metric_ == QLatin1String("disk")) return disk_summary(snap, engine);
    return workload_summary(snap);
}

void VyrProcessInspectorDialog::update_data(const SystemMetricsSnapshot& snap, const std::vector<ProcessEntry>& procs) {
    if (is_paused_) return;
    if (!isVisible()) return;

    const auto [primary, secondary] = _summary_texts(snap);
    lbl_summary_primary->setText(primary);
    lbl_summary_secondary->setText(secondary);

    const std::optional<long long> selected_pid = _get_selected_pid();
    const int row_to_select = table->show_rows(procs, selected_pid);
    if (row_to_select >= 0) {
        table->selectRow(row_to_select);
    } else if (selected_pid) {
        // The selected process is gone: no row stands for it any more.
        table->clearSelection();
        table->selectionModel()->clearCurrentIndex();
    }
}

void VyrProcessInspectorDialog::closeEvent(QCloseEvent* event) {
    hide_inspector();
    event->accept();
}

void VyrProcessInspectorDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide_inspector();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void VyrProcessInspectorDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && event->pos().y() <= 68) {
        _drag_offset = event->globalPos() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void VyrProcessInspectorDialog::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && _drag_offset) {
        if (QGuiApplication::platformName() == QLatin1String("wayland") && windowHandle()) {
            windowHandle()->startSystemMove();
            _drag_offset.reset();
        } else {
            move(event->globalPos() - *_drag_offset);
        }
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void VyrProcessInspectorDialog::mouseReleaseEvent(QMouseEvent* event) {
    _drag_offset.reset();
    QWidget::mouseReleaseEvent(event);
}

}  // namespace vyr::app

// The live process inspector: a frameless window with one tab per metric, the
// per-metric summary, the process table and the end and kill actions.
#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>

#include <optional>
#include <utility>
#include <vector>

#include "vyr/app/message_boxes.hpp"
#include "vyr/records.hpp"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace vyr::app {

class MonitorController;
class MonitorEngine;
class SettingsStore;

class VyrProcessInspectorDialog : public QWidget {
    Q_OBJECT

public:
    // The item data role of a row's first cell that keeps the process name
    // (the entry's `name`); the process id is under Qt::UserRole.
    static constexpr int ProcessNameRole = Qt::UserRole + 1;

    // A hidden top-level window; none of the three is owned.
    VyrProcessInspectorDialog(MonitorEngine* engine, SettingsStore* settings, MonitorController* parent_monitor);

    // Style sheet of the action buttons: background `bg`, text `fg`, a 1 px
    // `border`; under the pointer the border colour fills it.
    static QString _action_btn_style(const QString& bg, const QString& fg, const QString& border);

    void select_metric_tab(const QString& metric_key);
    void _toggle_pause();
    void _on_group_toggled(bool checked);
    void hide_inspector();
    // The process id of the selected row, or none when no row is selected.
    std::optional<long long> _get_selected_pid() const;
    void _update_tab_styles();
    // Ends (or with `force` kills) the process of the selected row after the
    // user confirms; the engine's message goes to the footer.
    void _terminate_selected(bool force = false);
    // The live refresh: summary texts of the active tab and one row per entry,
    // keeping the selected process selected. Returns at once while paused or hidden.
    void update_data(const SystemMetricsSnapshot& snap, const std::vector<ProcessEntry>& procs);

    // The boxes the actions open; null restores Qt's own.
    void set_message_boxes(MessageBoxes* boxes);
    QPushButton* tab_button(const QString& metric_key) const;

    MonitorEngine* engine;
    SettingsStore* settings;
    MonitorController* parent_monitor;
    QString active_metric = QStringLiteral("workload");
    bool is_paused = false;
    std::optional<QPoint> _drag_offset;

    QFrame* container = nullptr;
    QLabel* lbl_header_title = nullptr;
    QLabel* lbl_header_sub = nullptr;
    QPushButton* btn_pause = nullptr;
    QPushButton* btn_min = nullptr;
    QPushButton* btn_close = nullptr;
    std::vector<std::pair<QString, QPushButton*>> tab_buttons;  // in METRIC_META order
    QFrame* summary_frame = nullptr;
    QLabel* lbl_summary_primary = nullptr;
    QLabel* lbl_summary_secondary = nullptr;
    QLineEdit* search_input = nullptr;
    QCheckBox* chk_group = nullptr;
    QPushButton* btn_term = nullptr;
    QPushButton* btn_kill = nullptr;
    QTableWidget* table = nullptr;
    QLabel* lbl_footer = nullptr;

signals:
    void closed_signal();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void _build_ui();
    int selected_row() const;

    QtMessageBoxes qt_boxes_;
    MessageBoxes* boxes_ = &qt_boxes_;
};

}  // namespace vyr::app

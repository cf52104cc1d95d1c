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

class QBoxLayout;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vyr::app {

class FooterLabel;
class MonitorController;
class MonitorEngine;
class ProcessTable;
class SettingsStore;

class VyrProcessInspectorDialog : public QWidget {
    Q_OBJECT

public:
    // The item data role of a row's first cell that keeps the process name:
    // the entry's `name`, its bytes as a QByteArray (a name need not be valid
    // UTF-8); the process id is under Qt::UserRole.
    static constexpr int ProcessNameRole = Qt::UserRole + 1;

    // A hidden top-level window; none of the three is owned.
    VyrProcessInspectorDialog(MonitorEngine* engine, SettingsStore* settings, MonitorController* parent_monitor);

    // Style sheet of the action buttons: background `bg`, text `fg`, a 1 px
    // `border`; under the pointer the border colour fills it.
    static QString _action_btn_style(const QString& bg, const QString& fg, const QString& border);

    // Makes `metric_key` the active tab: heading, tab looks, a folder scan
    // for "disk", then the worker follows.
    void select_metric_tab(const QString& metric_key);
    // Hides the window, lets the worker stop collecting processes and emits
    // closed_signal. Nothing else is reset.
    void hide_inspector();
    // The live refresh: summary texts of the active tab and one row per entry,
    // keeping the selected process selected. Returns at once while paused or hidden.
    void update_data(const SystemMetricsSnapshot& snap, const std::vector<ProcessEntry>& procs);
    // The process id of the selected row, or none when no row is selected.
    std::optional<long long> _get_selected_pid() const;

    // What the controller copies into the worker.
    const QString& active_metric() const { return active_metric_; }
    bool is_paused() const { return is_paused_; }
    QString search_text() const;
    bool group_checked() const;

    // The rounded card that fills the window.
    QFrame* container() const { return container_; }
    // The boxes the actions open; null restores Qt's own.
    void set_message_boxes(MessageBoxes* boxes);

signals:
    void closed_signal();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The window's contents, built once by the constructor, top to bottom.
    void _build_ui();
    QBoxLayout* _build_card();
    void _build_header(QBoxLayout* layout);
    void _build_tabs(QBoxLayout* layout);
    void _build_summary(QBoxLayout* layout);
    void _build_tools(QBoxLayout* layout);
    void _build_table(QBoxLayout* layout);
    void _build_footer(QBoxLayout* layout);

    void _update_tab_styles();
    void _toggle_pause();
    void _on_group_toggled(bool checked);
    // Ends (or with `force` kills) the process of the selected row after the
    // user confirms; the engine's message goes to the footer.
    void _terminate_selected(bool force);

    // The two summary texts of the active tab for one sample.
    std::pair<QString, QString> _summary_texts(const SystemMetricsSnapshot& snap) const;
    int selected_row() const;

    MonitorEngine* engine;
    SettingsStore* settings;
    MonitorController* parent_monitor;
    QString active_metric_ = QStringLiteral("workload");
    bool is_paused_ = false;
    std::optional<QPoint> _drag_offset;

    QFrame* container_ = nullptr;
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
    ProcessTable* table = nullptr;
    FooterLabel* lbl_footer = nullptr;

    QtMessageBoxes qt_boxes_;
    MessageBoxes* boxes_ = &qt_boxes_;
};

}  // namespace vyr::app

// Shared pieces of the widget tests: the font, synthetic pointer input and
// fakes of the controller, the settings store, the engine and the boxes.
#pragma once

#include <QApplication>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QStringList>
#include <QWidget>

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
inline void enter(QWidget* w) {
    QEvent ev(QEvent::Enter);
    QApplication::sendEvent(w, &ev);
}
inline void leave(QWidget* w) {
    QEvent ev(QEvent::Leave);
    QApplication::sendEvent(w, &ev);
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

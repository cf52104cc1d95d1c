// A few Qt classes, as far as the Windows files of the app shell and the desktop helper
// use them, for building those files into the Win32 test programs: the cross tools have
// no Qt of their own. Objects own their children; a timer's timeout() runs the slots
// connected to it, and process_timers() is the event loop that fires started timers.
#pragma once

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#define Q_OBJECT

class QEvent;
class QLayout;

class QObject {
public:
    explicit QObject(QObject* parent = nullptr) : parent_(parent) {
        if (parent_) parent_->children_.push_back(this);
    }
    virtual ~QObject() {
        auto children = std::move(children_);
        for (QObject* child : children) {
            child->parent_ = nullptr;
            delete child;
        }
        if (parent_) {
            auto& siblings = parent_->children_;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        }
    }
    QObject(const QObject&) = delete;
    QObject& operator=(const QObject&) = delete;

    QObject* parent() const { return parent_; }
    virtual bool eventFilter(QObject*, QEvent*) { return false; }

    // A functor connected to a signal of `sender`; `context` only documents the thread.
    template <class Sender, class Signal, class Functor>
    static bool connect(Sender* sender, Signal signal, QObject* /*context*/, Functor slot) {
        sender->connections_.emplace_back(signal, std::function<void()>(std::move(slot)));
        return true;
    }

private:
    QObject* parent_;
    std::vector<QObject*> children_;
};

class QTimer : public QObject {
public:
    explicit QTimer(QObject* parent = nullptr) : QObject(parent) {}
    ~QTimer() override { stop(); }

    void start(int interval_ms) {
        stop();
        interval_ms_ = interval_ms;
        due_ = GetTickCount64() + static_cast<ULONGLONG>(interval_ms);
        running().push_back(this);
    }
    void stop() {
        auto& all = running();
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }
    bool isActive() const {
        const auto& all = running();
        return std::find(all.begin(), all.end(), this) != all.end();
    }

    // The signal: runs the connected slots.
    void timeout() {
        for (auto& [signal, slot] : connections_) {
            if (signal == &QTimer::timeout) slot();
        }
    }

    // The event loop: for `duration_ms`, fires every started timer when it is due.
    static void process_timers(int duration_ms) {
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(duration_ms);
        for (;;) {
            const ULONGLONG now = GetTickCount64();
            const auto due = running();
            for (QTimer* timer : due) {
                if (timer->due_ <= now && timer->isActive()) {
                    timer->due_ = now + static_cast<ULONGLONG>(timer->interval_ms_);
                    timer->timeout();
                }
            }
            if (now >= end) return;
            Sleep(10);
        }
    }

private:
    friend class QObject;
    static std::vector<QTimer*>& running() {
        static std::vector<QTimer*> timers;
        return timers;
    }

    int interval_ms_ = 0;
    ULONGLONG due_ = 0;
    std::vector<std::pair<void (QTimer::*)(), std::function<void()>>> connections_;
};

class QString {
public:
    QString() = default;
    QString(const char* utf8) : text_(widen(utf8)) {}
    static QString fromUtf8(const char* utf8) { return QString(utf8); }
    std::wstring toStdWString() const { return text_; }
    bool isEmpty() const { return text_.empty(); }
    bool operator==(const QString& other) const { return text_ == other.text_; }

private:
    static std::wstring widen(const char* utf8) {
        const int size = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
        if (size <= 1) return {};
        std::wstring out(static_cast<size_t>(size), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), size);
        out.resize(static_cast<size_t>(size - 1));
        return out;
    }
    std::wstring text_;
};

template <class T>
class QList : public std::vector<T> {
public:
    using std::vector<T>::vector;
};

class QStringList : public QList<QString> {
public:
    using QList<QString>::QList;
};

class QByteArray : public std::string {
public:
    using std::string::string;
};

template <class T>
class QPointer {
public:
    QPointer(T* object = nullptr) : object_(object) {}
    T* data() const { return object_; }

private:
    T* object_;
};

struct QRect {
    int x = 0, y = 0, width = 0, height = 0;
};

class QWidget : public QObject {
public:
    explicit QWidget(QWidget* parent = nullptr) : QObject(parent) {}
};

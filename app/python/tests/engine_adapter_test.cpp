// The inspector's end and kill actions through the runtime's engine object,
// on the real application object: one engine call per confirmation, the
// engine's message in the footer, and an error raised by the engine passed
// to sys.excepthook with the footer left as it was; and, through the real
// engine module, real processes ended and killed whatever bytes their names
// are made of.
#include <Python.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "py_backend.hpp"
#include "py_support.hpp"
#include "py_views_backend.hpp"
#include "test_support.hpp"
#include "vyr/app/inspector.hpp"
#include "vyr/shell/error_guard.hpp"

namespace {

using vyr::apppy::GilScope;
using vyr::apppy::PyRef;

// Engines as Python classes: each records its calls in `calls`; the hook
// records what reaches it in `hooked`.
const char kEngines[] = R"(
import sys
calls = []
hooked = []
sys.excepthook = lambda t, v, tb: hooked.append("%s: %s" % (t.__name__, v))

class Answers:
    def terminate_process(self, pid, force=False, *, expected_name=None):
        calls.append((pid, force, expected_name))
        return (False, "PID %d artık çalışmıyor." % pid)

class Raises:
    def terminate_process(self, pid, force=False, *, expected_name=None):
        calls.append((pid, force, expected_name))
        raise ValueError("engine failed")

class SignalsThenRaisesTypeError:
    # Sends the signal, then fails: a second call would signal again.
    def terminate_process(self, pid, force=False, **kwargs):
        calls.append((pid, force, kwargs.get("expected_name")))
        if len(calls) == 1:
            raise TypeError("late failure")
        return (True, "sent again")

class ThreeValues:
    def terminate_process(self, pid, force=False, *, expected_name=None):
        calls.append((pid, force, expected_name))
        return (True, "ok", "extra")

class OnlyPidAndForce:
    def terminate_process(self, pid, force=False):
        calls.append((pid, force, None))
        return (True, "sent without a name")
)";

std::string repr_of(const char* name) {
    GilScope gil;
    PyRef main = PyRef::borrow(PyImport_AddModule("__main__"));
    PyRef value(PyObject_GetAttrString(main.get(), name));
    PyRef text(value ? PyObject_Repr(value.get()) : nullptr);
    if (!text) {
        PyErr_Print();
        return "<error>";
    }
    return PyUnicode_AsUTF8(text.get());
}

PyRef engine_object(const std::string& cls) {
    GilScope gil;
    PyRef main = PyRef::borrow(PyImport_AddModule("__main__"));
    PyRef type(PyObject_GetAttrString(main.get(), cls.c_str()));
    PyRef obj(type ? PyObject_CallNoArgs(type.get()) : nullptr);
    if (!obj) PyErr_Print();
    return obj;
}

void reset_records() {
    GilScope gil;
    if (PyRun_SimpleString("calls.clear(); hooked.clear()") != 0) PyErr_Print();
}

vyr::ProcessEntry process(long long pid, const char* name, const char* display) {
    vyr::ProcessEntry p;
    p.pid = pid;
    p.name = name;
    p.display_name = display;
    p.username = "ayse";
    p.status = "running";
    return p;
}

struct Case {
    const char* engine;
    bool force;
    const char* calls;   // repr of the calls the engine saw
    const char* hooked;  // repr of what reached sys.excepthook
    const char* footer;  // nullptr: the footer keeps its text
};

TEST(EngineAdapter, OneCallPerConfirmationAndErrorsReachTheHook) {
    const Case cases[] = {
        {"Answers", false, "[(20, False, 'firefox-bin')]", "[]", "PID 20 artık çalışmıyor."},
        {"Answers", true, "[(20, True, 'firefox-bin')]", "[]", "PID 20 artık çalışmıyor."},
        {"Raises", false, "[(20, False, 'firefox-bin')]", "['ValueError: engine failed']", nullptr},
        {"SignalsThenRaisesTypeError", true, "[(20, True, 'firefox-bin')]", "['TypeError: late failure']",
         nullptr},
        {"ThreeValues", false, "[(20, False, 'firefox-bin')]", "['ValueError: a pair was expected']", nullptr},
        // The engine is asked with the name; one that does not take it fails once.
        {"OnlyPidAndForce", false, "[]",
         "[\"TypeError: OnlyPidAndForce.terminate_process() got an unexpected keyword argument "
         "'expected_name'\"]",
         nullptr},
    };
    vyr::test::FakeController monitor;
    vyr::test::ScriptedBoxes boxes;
    boxes.answer = QMessageBox::Yes;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.engine) + (c.force ? " force" : ""));
        reset_records();
        PyRef obj = engine_object(c.engine);
        ASSERT_TRUE(obj);
        vyr::apppy::PyViewsEngine engine(obj.get());
        vyr::app::VyrProcessInspectorDialog insp(&engine, &monitor.store, &monitor);
        insp.set_message_boxes(&boxes);
        insp.show();
        insp.update_data(vyr::SystemMetricsSnapshot{},
                         {process(10, "bash", "bash"), process(20, "firefox-bin", "Firefox (3)")});
        QTableView* table = vyr::test::table_of(&insp);
        for (int r = 0; r < table->model()->rowCount(); ++r)
            if (vyr::test::cell(table, r, 0, Qt::UserRole).toLongLong() == 20) table->selectRow(r);
        auto footer = [&] { return vyr::test::shown_texts(&insp).last(); };
        const QString before = footer();

        QTest::mouseClick(vyr::test::with_text<QPushButton>(&insp, c.force ? "Zorla Kapat" : "Sonlandır"),
                          Qt::LeftButton);

        EXPECT_EQ(repr_of("calls"), c.calls);
        EXPECT_EQ(repr_of("hooked"), c.hooked);
        EXPECT_EQ(footer().toStdString(), c.footer ? std::string(c.footer) : before.toStdString());
    }
}

// A child process whose name (the kernel's command name) is `name`: /bin/sleep
// started through a link of that name in a folder of its own, with HOME and
// TMPDIR there. Killed and reaped at the end if it still runs.
class NamedChild {
public:
    explicit NamedChild(const std::string& name) {
        char dir_template[] = "/tmp/vyr-named-child-XXXXXX";
        if (!mkdtemp(dir_template)) return;
        dir_ = dir_template;
        link_ = dir_ + "/" + name;
        if (symlink("/bin/sleep", link_.c_str()) != 0) return;
        const std::string home = "HOME=" + dir_, tmp = "TMPDIR=" + dir_;
        char* argv[] = {const_cast<char*>(link_.c_str()), const_cast<char*>("60"), nullptr};
        char* envp[] = {const_cast<char*>(home.c_str()), const_cast<char*>(tmp.c_str()), nullptr};
        if (posix_spawn(&pid_, link_.c_str(), nullptr, nullptr, argv, envp) != 0) pid_ = -1;
    }
    ~NamedChild() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!link_.empty()) unlink(link_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    pid_t pid() const { return pid_; }
    // Whether the child runs the program under `name` within a limit far above what a
    // busy machine takes (until its exec it has the name of this test). The kernel
    // shows the new name a moment before the new command line: both must be there.
    bool runs_as(const std::string& name) const {
        const std::string command_line = link_ + '\0' + "60" + '\0';
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        do {
            if (read_proc("comm") == name + "\n" && read_proc("cmdline") == command_line) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // The signal that ended the child, 0 while it still runs after that limit.
    int ending_signal() {
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        do {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return 0;
    }

private:
    static constexpr std::chrono::seconds kLimit{60};

    std::string read_proc(const char* file) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/" + file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir_, link_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

TEST(EngineAdapter, EndsAndKillsProcessesWhoseNamesAreNotUtf8) {
    struct NameCase {
        const char* name;
        bool force;
        int signal;
    };
    const NameCase cases[] = {
        {"\xff\x80" "bad", false, SIGTERM},
        {"\xff\x80" "bad", true, SIGKILL},
        {"lat\xe9n1", false, SIGTERM},
        {"lat\xe9n1", true, SIGKILL},
    };
    PyRef engine_obj = [] {
        GilScope gil;
        PyRef module(PyImport_ImportModule("engine"));
        PyRef cls(module ? PyObject_GetAttrString(module.get(), "SystemMonitorEngine") : nullptr);
        PyRef obj(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
        if (!obj) PyErr_Print();
        return obj;
    }();
    ASSERT_TRUE(engine_obj);
    vyr::apppy::PyTelemetrySource source(engine_obj.get());
    vyr::apppy::PyViewsEngine engine(engine_obj.get());
    vyr::test::FakeController monitor;
    vyr::test::ScriptedBoxes boxes;
    boxes.answer = QMessageBox::Yes;
    for (const NameCase& c : cases) {
        SCOPED_TRACE(std::string(c.force ? "kill " : "end ") + c.name);
        NamedChild child(c.name);
        ASSERT_GT(child.pid(), 0);
        ASSERT_TRUE(child.runs_as(c.name));
        // The row as the worker brings it: the engine's list, searched by pid.
        std::vector<vyr::ProcessEntry> rows = source.processes("workload", std::to_string(child.pid()), false, 75);
        vyr::app::VyrProcessInspectorDialog insp(&engine, &monitor.store, &monitor);
        insp.set_message_boxes(&boxes);
        insp.show();
        insp.update_data(vyr::SystemMetricsSnapshot{}, rows);
        QTableView* table = vyr::test::table_of(&insp);
        int row = -1;
        for (int r = 0; r < table->model()->rowCount(); ++r)
            if (vyr::test::cell(table, r, 0, Qt::UserRole).toLongLong() == child.pid()) row = r;
        ASSERT_GE(row, 0);
        table->selectRow(row);

        QTest::mouseClick(vyr::test::with_text<QPushButton>(&insp, c.force ? "Zorla Kapat" : "Sonlandır"),
                          Qt::LeftButton);

        EXPECT_EQ(child.ending_signal(), c.signal);
        const QString footer = vyr::test::shown_texts(&insp).last();
        EXPECT_TRUE(footer.endsWith(QStringLiteral(") ") + (c.force ? QStringLiteral("zorla kapatıldı (SIGKILL).")
                                                                     : QStringLiteral("sonlandırma sinyali gönderildi (SIGTERM)."))))
            << footer.toStdString();
    }
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Py_InitializeEx(0);
    int rc = 1;
    {
        vyr::shell::VyrApplication app(argc, argv);
        vyr::shell::set_error_reporter(&vyr::apppy::report_to_excepthook);
        if (PyRun_SimpleString(kEngines) != 0) return 1;
        // The engine module of the program folder, for its record types.
        PyObject* path = PySys_GetObject("path");  // borrowed
        PyRef dist(PyUnicode_FromString(VYR_DIST_DIR));
        if (!path || !dist || PyList_Insert(path, 0, dist.get()) < 0) return 1;
        ::testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
        vyr::shell::set_error_reporter(nullptr);
    }
    if (Py_FinalizeEx() < 0) rc = 1;
    return rc;
}

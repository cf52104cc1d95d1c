// vyr_desk_guard_testkit: a test-only module that gives Python tests a Qt
// application, sample windows as widget handles and an event loop run with
// the GIL released. Errors raised by callables it runs from the event loop go
// to sys.excepthook, as errors escaping a Qt slot do in the program.
// Never part of the program folder.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QEventLoop>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <string>
#include <vector>

#include "vyr/widget_handle.hpp"

namespace wh = vyr::widget_handle;

namespace sample {

// A main window that counts how often it was shown; with auto-hide it hides
// again right after each show, so every later activation shows it anew.
class SampleMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit SampleMainWindow(bool auto_hide) : auto_hide_(auto_hide) {
        auto* central = new QWidget(this);
        central->setObjectName("central");
        new QVBoxLayout(central);
        setCentralWidget(central);
    }
    int shows = 0;

protected:
    void showEvent(QShowEvent* event) override {
        ++shows;
        QMainWindow::showEvent(event);
        if (auto_hide_) QTimer::singleShot(0, this, &QWidget::hide);
    }

private:
    bool auto_hide_;
};

}  // namespace sample

namespace {

int g_argc = 1;
std::vector<std::string> g_arg_storage;
std::vector<char*> g_argv;

QWidget* widget_arg(PyObject* obj) {
    QWidget* widget = nullptr;
    if (!wh::unwrap(obj, &widget)) return nullptr;
    if (!widget) PyErr_SetString(PyExc_RuntimeError, "no live widget behind this handle");
    return widget;
}

void report_to_excepthook() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* hook = PySys_GetObject("excepthook");
    PyObject* tb = PyException_GetTraceback(exc);
    PyObject* result = hook ? PyObject_CallFunctionObjArgs(
                                  hook, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                                  tb ? tb : Py_None, nullptr)
                            : nullptr;
    if (!result) PyErr_Clear();
    Py_XDECREF(result);
    Py_XDECREF(tb);
    Py_DECREF(exc);
}

PyObject* tk_app(PyObject*, PyObject*) {
    if (!QApplication::instance()) {
        g_arg_storage = {"vyr-desk-guard-test"};
        g_argv = {g_arg_storage[0].data(), nullptr};
        g_argc = 1;
        auto* app = new QApplication(g_argc, g_argv.data());
        app->setQuitOnLastWindowClosed(false);
    }
    Py_RETURN_NONE;
}

PyObject* tk_window(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"title", "kind", "auto_hide", nullptr};
    const char* title = "";
    const char* kind = "main";
    int auto_hide = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|ssp", const_cast<char**>(kwlist), &title,
                                     &kind, &auto_hide))
        return nullptr;
    QWidget* w;
    const std::string k(kind);
    if (k == "main") {
        w = new sample::SampleMainWindow(auto_hide != 0);
    } else if (k == "plain") {
        w = new QWidget();
    } else if (k == "dialog") {
        w = new QDialog();
    } else {
        PyErr_Format(PyExc_ValueError, "unknown window kind %s", kind);
        return nullptr;
    }
    w->setWindowTitle(QString::fromUtf8(title));
    return wh::wrap(w);
}

// A main window with one widget of each kind that the text walk treats or
// leaves alone, each with its own object name.
PyObject* tk_sample_form(PyObject*, PyObject* args) {
    const char* title = "";
    if (!PyArg_ParseTuple(args, "|s", &title)) return nullptr;
    auto* win = new sample::SampleMainWindow(false);
    win->setWindowTitle(QString::fromUtf8(title));
    auto* layout = static_cast<QVBoxLayout*>(win->centralWidget()->layout());
    auto add_label = [&](const char* name, const char* text) {
        auto* label = new QLabel(QString::fromUtf8(text));
        label->setObjectName(name);
        layout->addWidget(label);
    };
    add_label("lbl_gear", "\u2699 Ayarlar");
    add_label("lbl_rich", "<b>\u2699 Kal\u0131n</b>");
    add_label("lbl_less", "a < b \u2699");
    add_label("lbl_blank", "   ");
    add_label("lbl_parens", "Temizleyici (disk CLEANER)");
    add_label("lbl_jargon", "Veriler AES-256-GCM ile \u015fifrelenir");
    auto add_button = [&](const char* name, const char* text) {
        auto* button = new QPushButton(QString::fromUtf8(text));
        button->setObjectName(name);
        layout->addWidget(button);
    };
    add_button("btn_amp", "\u2699 Kaydet & \u00c7\u0131k");
    add_button("btn_plain", "&Kaydet");
    add_button("btn_blank", "   ");
    auto* check = new QCheckBox(QString::fromUtf8("\u2699 Se\u00e7enek"));
    check->setObjectName("chk_option");
    layout->addWidget(check);
    auto* tabs = new QTabWidget();
    tabs->setObjectName("tabs");
    tabs->addTab(new QWidget(), QString::fromUtf8("Genel"));
    tabs->addTab(new QWidget(), QString::fromUtf8("\u2605 Geli\u015fmi\u015f"));
    tabs->addTab(new QWidget(), QString::fromUtf8("Hakk\u0131nda"));
    layout->addWidget(tabs);
    auto* list = new QListWidget();
    list->setObjectName("list");
    list->addItems({QString::fromUtf8("\u25cf Bir"), QString::fromUtf8("\u0130ki"),
                    QString::fromUtf8("\u25c6 \u00dc\u00e7")});
    layout->addWidget(list);
    auto* box = new QFrame();
    box->setObjectName("box");
    auto* inner = new QVBoxLayout(box);
    for (const char* name : {"FooterBar", "footerbar", "FooterBar2"}) {
        auto* frame = new QFrame();
        frame->setObjectName(name);
        inner->addWidget(frame);
    }
    auto* footer_label = new QLabel(QString::fromUtf8("Alt bilgi"));
    footer_label->setObjectName("FooterCard");
    inner->addWidget(footer_label);
    layout->addWidget(box);
    return wh::wrap(win);
}

PyObject* text_of(QWidget* w) {
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(w)) text = button->text();
    else Py_RETURN_NONE;
    const QByteArray utf8 = text.toUtf8();
    return PyUnicode_FromStringAndSize(utf8.constData(), utf8.size());
}

PyObject* texts_list(const QStringList& list) {
    PyObject* out = PyList_New(0);
    for (const QString& s : list) {
        const QByteArray utf8 = s.toUtf8();
        PyObject* item = PyUnicode_FromStringAndSize(utf8.constData(), utf8.size());
        PyList_Append(out, item);
        Py_DECREF(item);
    }
    return out;
}

// {object name: {"class", "text", "visible", "tabs", "items"}} for every named
// descendant, plus "__title__" for the window title.
PyObject* tk_describe(PyObject*, PyObject* arg) {
    QWidget* win = widget_arg(arg);
    if (!win) return nullptr;
    PyObject* out = PyDict_New();
    const QByteArray title = win->windowTitle().toUtf8();
    PyObject* t = PyUnicode_FromStringAndSize(title.constData(), title.size());
    PyDict_SetItemString(out, "__title__", t);
    Py_DECREF(t);
    for (QWidget* w : win->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty() || w->objectName().startsWith("qt_")) continue;
        QStringList tabs, items;
        if (auto* tw = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < tw->count(); ++i) tabs << tw->tabText(i);
        if (auto* lw = qobject_cast<QListWidget*>(w))
            for (int i = 0; i < lw->count(); ++i) items << lw->item(i)->text();
        PyObject* entry = Py_BuildValue("{s:s,s:N,s:O,s:N,s:N}", "class",
                                        w->metaObject()->className(), "text", text_of(w),
                                        "visible", w->isVisible() ? Py_True : Py_False, "tabs",
                                        texts_list(tabs), "items", texts_list(items));
        PyDict_SetItemString(out, w->objectName().toUtf8().constData(), entry);
        Py_DECREF(entry);
    }
    return out;
}

PyObject* tk_state(PyObject*, PyObject* arg) {
    QWidget* w = widget_arg(arg);
    if (!w) return nullptr;
    auto* sample_win = qobject_cast<sample::SampleMainWindow*>(w);
    const QByteArray title = w->windowTitle().toUtf8();
    PyObject* state = Py_BuildValue(
        "{s:O,s:O,s:O,s:O,s:i,s:s#,s:O,s:(ii),s:s}", "visible", w->isVisible() ? Py_True : Py_False,
        "minimized", w->isMinimized() ? Py_True : Py_False, "maximized",
        w->isMaximized() ? Py_True : Py_False, "active",
        (w->windowState() & Qt::WindowActive) ? Py_True : Py_False, "shows",
        sample_win ? sample_win->shows : -1, "title", title.constData(),
        static_cast<Py_ssize_t>(title.size()), "own_icon",
        w->testAttribute(Qt::WA_SetWindowIcon) ? Py_True : Py_False, "minimum_size",
        w->minimumWidth(), w->minimumHeight(), "class", w->metaObject()->className());
    if (!state) return nullptr;
    PyObject* parent = w->parentWidget()
                           ? PyUnicode_FromString(w->parentWidget()->metaObject()->className())
                           : Py_NewRef(Py_None);
    PyDict_SetItemString(state, "parent", parent);
    Py_DECREF(parent);
    return state;
}

PyObject* tk_show(PyObject*, PyObject* args) {
    PyObject* handle;
    const char* how = "normal";
    if (!PyArg_ParseTuple(args, "O|s", &handle, &how)) return nullptr;
    QWidget* w = widget_arg(handle);
    if (!w) return nullptr;
    const std::string h(how);
    if (h == "normal") w->show();
    else if (h == "minimized") w->showMinimized();
    else if (h == "maximized") w->showMaximized();
    else if (h == "hidden") w->hide();
    Py_RETURN_NONE;
}

PyObject* tk_destroy(PyObject*, PyObject* arg) {
    QWidget* w = widget_arg(arg);
    if (!w) return nullptr;
    delete w;
    Py_RETURN_NONE;
}

PyObject* tk_run(PyObject*, PyObject* args) {
    int ms;
    if (!PyArg_ParseTuple(args, "i", &ms)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* tk_call_later(PyObject*, PyObject* args) {
    PyObject* fn;
    int ms = 0;
    if (!PyArg_ParseTuple(args, "O|i", &fn, &ms)) return nullptr;
    Py_INCREF(fn);
    QTimer::singleShot(ms, QCoreApplication::instance(), [fn]() {
        PyGILState_STATE gil = PyGILState_Ensure();
        PyObject* result = PyObject_CallNoArgs(fn);
        if (!result) report_to_excepthook();
        Py_XDECREF(result);
        Py_DECREF(fn);
        PyGILState_Release(gil);
    });
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"app", tk_app, METH_NOARGS, nullptr},
    {"window", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tk_window)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"sample_form", tk_sample_form, METH_VARARGS, nullptr},
    {"describe", tk_describe, METH_O, nullptr},
    {"state", tk_state, METH_O, nullptr},
    {"show", tk_show, METH_VARARGS, nullptr},
    {"destroy", tk_destroy, METH_O, nullptr},
    {"run", tk_run, METH_VARARGS, nullptr},
    {"call_later", tk_call_later, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vyr_desk_guard_testkit", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vyr_desk_guard_testkit(void) { return PyModule_Create(&module_def); }

#include "testkit_module.moc"

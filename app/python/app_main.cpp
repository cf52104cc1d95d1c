#include "app_main.hpp"

#include <clocale>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>

#include "py_backend.hpp"
#include "py_support.hpp"
#include "py_views_backend.hpp"
#include "vyr/shell/error_guard.hpp"
#include "vyr/shell/monitor_widget.hpp"
#include "vyr/shell/program_resources.hpp"
#include "vyr/shell/signal_bridge.hpp"
#include "vyr/widget_handle.hpp"

namespace vyr::apppy {

namespace {

// The argument list handed to Qt; it must outlive the application object.
struct Arguments {
    std::vector<std::string> storage;
    std::vector<char*> pointers;
    int count = 0;
};

Arguments& arguments() {
    static Arguments args;
    return args;
}

// sys.argv as the process's bytes.
void read_arguments() {
    Arguments& args = arguments();
    args.storage.clear();
    PyObject* argv = PySys_GetObject("argv");  // borrowed
    if (argv && PyList_Check(argv)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(argv); ++i) {
            PyObject* item = PyList_GET_ITEM(argv, i);
            if (!PyUnicode_Check(item)) continue;
            PyRef bytes = py::checked(PyUnicode_EncodeFSDefault(item));
            args.storage.emplace_back(PyBytes_AS_STRING(bytes.get()),
                                      static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        }
    }
    args.pointers.clear();
    for (std::string& s : args.storage) args.pointers.push_back(s.data());
    args.pointers.push_back(nullptr);
    args.count = static_cast<int>(args.storage.size());
}

// Records the window with the desktop helper, which brings it to the front
// when a later copy announces itself. A failure is dropped (an exit request or
// an interrupt passes on).
void register_window(QWidget* window) {
    py::contain(kTrace, "main window registration", [&] {
        PyRef guard = py::checked(PyImport_ImportModule("vyr_desk_guard"));
        PyRef handle = py::checked(vyr::widget_handle::wrap(window));
        py::checked(PyObject_CallMethod(guard.get(), "ensure_vyr_single_instance", "sO", "MONITOR", handle.get()));
    });
}

// Deletes the window with the GIL held, after its worker has ended with the
// GIL released (the worker may be waiting for the GIL at that moment).
struct WindowDeleter {
    void operator()(VyrMonitorWidget* window) const {
        {
            GilRelease nogil;
            window->stop_worker();
        }
        delete window;
    }
};

// The application object and the program's identity; Qt takes its
// arguments from sys.argv.
vyr::shell::VyrApplication* make_application() {
    // Nothing is drawn with OpenGL: without this Qt's X11 platform loads the
    // GL driver stack (tens of MB resident) just to choose window visuals.
    {
        PyEnvironment env;
        if (!env.contains("QT_XCB_GL_INTEGRATION")) env.set("QT_XCB_GL_INTEGRATION", "none");
    }
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    read_arguments();
    vyr::shell::set_error_reporter(&report_to_excepthook);
    auto* app = new vyr::shell::VyrApplication(arguments().count, arguments().pointers.data());
    // Qt took the user's locale; figures are never written through it.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName(QStringLiteral("vyr-linux-monitor"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vyr Ruvivu Zizodiro"));
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

}  // namespace

PyObject* run_main(PyObject* module) {
    using vyr::shell::SignalBridge;
    return py::entry([&]() -> PyRef {
        if (QCoreApplication::instance()) py::raise(PyExc_RuntimeError, "the application object exists already");
        // SIGINT and SIGTERM end the program with status 0, through the event loop.
        SignalBridge::install_handlers();
        vyr::shell::VyrApplication* app = make_application();
        SignalBridge signals_bridge([](int) { QCoreApplication::exit(0); });

        // One copy per user: a second copy ends here.
        PyRef lock = py::checked(PyObject_CallMethod(module, "_ensure_single_instance", nullptr));

        // The fonts the views ask for and Qt's own texts in Turkish come
        // before the controller window, which starts its worker.
        PyMonitorBackend backend(module);
        vyr::shell::guarded([&] {
            const std::string assets = backend.assets_dir();
            vyr::shell::register_program_fonts(assets);
            vyr::shell::install_qt_translation(assets);
        });
        std::unique_ptr<VyrMonitorWidget, WindowDeleter> window(new VyrMonitorWidget(backend));

        // Registered with the desktop helper before it is shown, so that a
        // later copy finds it.
        register_window(window.get());

        // The event loop runs without the GIL; the worker ends before
        // anything it reaches is destroyed.
        window->show();
        int rc = 0;
        {
            GilRelease nogil;
            rc = app->exec();
            window->stop_worker();
        }
        window.reset();
        lock = PyRef();
        // The application object stays for the rest of the process: the
        // desktop helper's server and window record refer to it.
        PyRef code = py::checked(PyLong_FromLong(rc));
        PyErr_SetObject(PyExc_SystemExit, code.get());
        throw py::Error();
    });
}

}  // namespace vyr::apppy

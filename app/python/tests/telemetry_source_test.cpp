// The engine read by the telemetry worker on its own thread: the thread keeps
// one thread state of the runtime for all its readings, and leaves none behind.
#include <Python.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "py_backend.hpp"
#include "py_support.hpp"
#include "vyr/py_records.hpp"

namespace {

namespace py = vyr::py;
using py::Ref;

int thread_states() {
    int n = 0;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyInterpreterState_Get()); t; t = PyThreadState_Next(t)) ++n;
    return n;
}

// An engine that counts its readings in a threading.local: the count goes on
// only while the reading thread keeps its thread state.
Ref counting_engine(PyObject* snapshot) {
    Ref globals = py::checked(PyDict_New());
    py::check(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    Ref defined = py::checked(PyRun_String(
        "import threading\n"
        "class Engine:\n"
        "    def __init__(self, snapshot):\n"
        "        self.snapshot, self.local, self.counts = snapshot, threading.local(), []\n"
        "    def get_system_snapshot(self):\n"
        "        self.local.n = getattr(self.local, 'n', 0) + 1\n"
        "        self.counts.append(self.local.n)\n"
        "        return self.snapshot\n",
        Py_file_input, globals.get(), globals.get()));
    PyObject* cls = PyDict_GetItemString(globals.get(), "Engine");  // borrowed
    return py::checked(PyObject_CallFunctionObjArgs(cls, snapshot, nullptr));
}

TEST(TelemetrySource, TheWorkerThreadKeepsOneThreadStateAndLeavesNone) {
    Ref engine;
    int states_before = 0;
    {
        vyr::apppy::GilScope gil;
        Ref module = py::checked(PyImport_ImportModule("engine"));
        Ref snapshot = py::RecordTypes::of_module(module.get()).build(vyr::SystemMetricsSnapshot{});
        engine = counting_engine(snapshot.get());
        states_before = thread_states();
    }
    {
        auto source = std::make_shared<vyr::apppy::PyTelemetrySource>(engine.get());
        vyr::shell::TelemetryWorker worker(source, 800, {}, [](long long) {});
        std::atomic<int> frames{0};
        QObject::connect(
            &worker, &vyr::shell::TelemetryWorker::snapshot_ready, &worker,
            [&](const vyr::shell::TelemetryFramePtr&) {
                if (++frames == 3) worker.stop();
            },
            Qt::DirectConnection);
        vyr::apppy::GilRelease nogil;
        worker.start();
        ASSERT_TRUE(worker.wait(60000));
    }
    vyr::apppy::GilScope gil;
    Ref counts = py::checked(PyObject_GetAttrString(engine.get(), "counts"));
    Ref text = py::checked(PyObject_Repr(counts.get()));
    EXPECT_STREQ(PyUnicode_AsUTF8(text.get()), "[1, 2, 3]");
    EXPECT_EQ(thread_states(), states_before);
    engine = Ref();
}

}  // namespace

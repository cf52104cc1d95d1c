#include "vyr/shell/error_guard.hpp"

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "vyr/trace.hpp"

namespace vyr::shell {

namespace {

std::mutex g_reporter_mutex;
ErrorReporter g_reporter;

}  // namespace

void set_error_reporter(ErrorReporter reporter) {
    std::lock_guard<std::mutex> lock(g_reporter_mutex);
    g_reporter = std::move(reporter);
}

void report_current_exception() noexcept {
    try {
        std::exception_ptr error = std::current_exception();
        if (!error) return;
        ErrorReporter reporter;
        {
            std::lock_guard<std::mutex> lock(g_reporter_mutex);
            reporter = g_reporter;
        }
        if (reporter) {
            reporter(error);
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Unhandled error: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "Unhandled error\n");
        }
    } catch (const std::exception& e) {
        // The report itself failed: the trace is all that is left.
        trace::report("vyr.app", "error report", e.what());
    } catch (...) {
        trace::report("vyr.app", "error report", "a failure that is no exception of the library");
    }
}

VyrApplication::VyrApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool VyrApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        report_current_exception();
        return false;
    }
}

}  // namespace vyr::shell

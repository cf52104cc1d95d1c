// Errors that escape a slot or an event handler are reported and the
// program goes on; it never aborts. The reporter is installed by whoever
// owns the runtime's exception hook.
#pragma once

#include <exception>
#include <functional>

#include <QApplication>

namespace vyr::shell {

using ErrorReporter = std::function<void(std::exception_ptr)>;

// Installs the reporter for the rest of the process; without one errors are
// written to standard error.
void set_error_reporter(ErrorReporter reporter);

// Reports the exception that is being handled (call inside a catch block).
void report_current_exception() noexcept;

// Runs `fn`, reporting anything it throws.
template <typename Fn>
void guarded(Fn&& fn) noexcept {
    try {
        fn();
    } catch (...) {
        report_current_exception();
    }
}

// The application object: every event goes through `notify`, which reports
// what escapes a handler instead of letting it end the program.
class VyrApplication : public QApplication {
    Q_OBJECT
public:
    VyrApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vyr::shell

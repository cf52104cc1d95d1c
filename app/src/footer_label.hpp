// The inspector's footer: one line that shows the last message within the
// width the window gives it. It never asks the window for more: a message
// too long for the line is shortened there, and the tool tip holds it.
#pragma once

#include <QLabel>
#include <QString>

class QFontMetrics;

namespace vyr::app {

// `message` as it is shown in `width` pixels of `metrics`. Whole when it
// fits. A longer message that names a process first, as the engine's answers
// do ("'name' (PID 7) ..."), keeps its PID and outcome whole and has the name
// shortened in its middle; any other is shortened in its middle. A message of
// thousands of characters costs no more than one of a few hundred: only its
// first and last characters are measured.
QString fit_footer_text(const QString& message, const QFontMetrics& metrics, int width);

class FooterLabel final : public QLabel {
public:
    explicit FooterLabel(const QString& message);

    // Shows `message`, fitted to the label's width, and again whenever the
    // width or the font changes.
    void set_message(const QString& message);
    const QString& message() const { return message_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void refit();

    QString message_;
};

}  // namespace vyr::app

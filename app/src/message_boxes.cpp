#include "vyr/app/message_boxes.hpp"

namespace vyr::app {

namespace {

QMessageBox::StandardButton run_box(QMessageBox::Icon icon, QWidget* parent, const QString& title,
                                    const QString& text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton default_button) {
    QMessageBox box(icon, title, QString(), buttons, parent);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    if (default_button != QMessageBox::NoButton) box.setDefaultButton(default_button);
    if (box.exec() == -1) return QMessageBox::Cancel;
    return box.standardButton(box.clickedButton());
}

}  // namespace

void QtMessageBoxes::information(QWidget* parent, const QString& title, const QString& text) {
    run_box(QMessageBox::Information, parent, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

QMessageBox::StandardButton QtMessageBoxes::question(QWidget* parent, const QString& title, const QString& text,
                                                     QMessageBox::StandardButtons buttons,
                                                     QMessageBox::StandardButton default_button) {
    return run_box(QMessageBox::Question, parent, title, text, buttons, default_button);
}

}  // namespace vyr::app

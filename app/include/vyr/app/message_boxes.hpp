// The modal boxes that the views open, behind one seam: the program uses Qt's
// message boxes, tests answer them. Texts are always shown as plain text.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace vyr::app {

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // A modal information box with its one OK button.
    virtual void information(QWidget* parent, const QString& title, const QString& text) = 0;
    // A modal question; returns the button that answered it (Escape or closing
    // the box gives the escape button, here No).
    virtual QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton default_button) = 0;
};

// Qt's message boxes with the plain-text format.
class QtMessageBoxes : public MessageBoxes {
public:
    void information(QWidget* parent, const QString& title, const QString& text) override;
    QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton default_button) override;
};

}  // namespace vyr::app

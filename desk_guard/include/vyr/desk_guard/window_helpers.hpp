// Helpers that any main window may use: bringing a window to the front, the
// scroll wrapper for pages and the walk that cleans a window's visible texts.
#pragma once

#include <QString>

#include <optional>

class QScrollArea;
class QWidget;

namespace vyr::desk_guard {

// ---- Activation ---------------------------------------------------------

// The window raised when none is registered: the first top-level widget that
// is a window and not a dialog (hidden ones included), or null when there is
// no application object or no such widget.
QWidget* default_activation_target();

// Restores `win` from minimised (other state flags stay), marks it active,
// shows, raises and activates it. A null window is left alone.
void bring_to_front(QWidget* win);

// ---- Scroll wrapper -----------------------------------------------------

// A new parentless, frameless scroll area with thin light scroll bars that
// holds `page` (whose minimum size becomes 0 x 0) as its resizable widget.
QScrollArea* wrap_widget_in_scroll(QWidget* page);

// ---- UI tree sanitiser --------------------------------------------------

// The text operations the sanitiser applies. An operation that cannot be
// done returns no value: the sanitiser then skips that widget. An exception
// that an operation throws ends the whole walk and leaves the sanitiser.
class TextOps {
public:
    virtual ~TextOps() = default;
    // The cleaned form of `text`.
    virtual std::optional<QString> clean(const QString& text) = 0;
    // `text` without whitespace at either end.
    virtual std::optional<QString> strip(const QString& text) = 0;
};

// Every "&" shown as a literal ampersand: "&&" first becomes "&", then every
// "&" becomes "&&", so no character is taken for a keyboard mnemonic.
QString literal_ampersands(const QString& text);

// Cleans the texts a user reads in `win` once: the title when it carries an
// author credit, labels (not rich text), push buttons, tab titles and list
// items; hides the frames named "FooterCard" or "FooterBar".
void sanitize_ui_tree(QWidget* win, TextOps& ops);

}  // namespace vyr::desk_guard

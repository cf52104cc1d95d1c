#include "footer_label.hpp"

#include <QEvent>
#include <QFontMetrics>
#include <QSizePolicy>

#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

// Characters kept from each end of a longer message before it is measured:
// more than any screen shows on one line.
constexpr int kKeptEachEnd = 256;

const QChar kEllipsis(0x2026);

// Moves a cut at `at` off the middle of a surrogate pair.
int whole_char_cut(const QString& s, int at) {
    return at > 0 && at < s.size() && s.at(at).isLowSurrogate() ? at - 1 : at;
}

// The first and last kKeptEachEnd characters of `s` with "…" between them,
// or `s` itself when it is not longer than both together.
QString ends_of(const QString& s) {
    if (s.size() <= 2 * kKeptEachEnd) return s;
    const int head = whole_char_cut(s, kKeptEachEnd);
    const int tail = whole_char_cut(s, s.size() - kKeptEachEnd);
    return s.left(head) + kEllipsis + s.mid(tail);
}

}  // namespace

QString fit_footer_text(const QString& message, const QFontMetrics& metrics, int width) {
    const QString kept = ends_of(message);
    if (metrics.horizontalAdvance(kept) <= width) return kept;
    // The engine puts the name first, between apostrophes, and ends with
    // "' (PID n) " and the outcome; a name may hold that text itself, so the
    // last one closes it.
    const QString apostrophe = QStringLiteral("'");
    const int name_end = kept.lastIndexOf(QStringLiteral("' (PID "));
    if (kept.startsWith(apostrophe) && name_end > 0) {
        const QString rest = kept.mid(name_end);
        const int room = width - metrics.horizontalAdvance(apostrophe) - metrics.horizontalAdvance(rest);
        if (room >= metrics.horizontalAdvance(kEllipsis))
            return apostrophe + metrics.elidedText(kept.mid(1, name_end - 1), Qt::ElideMiddle, room) + rest;
    }
    return metrics.elidedText(kept, Qt::ElideMiddle, width);
}

FooterLabel::FooterLabel(const QString& message) : message_(message) {
    setTextFormat(Qt::PlainText);
    // The window's width decides the line's, never the text.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    refit();
}

void FooterLabel::set_message(const QString& message) {
    message_ = message;
    refit();
}

void FooterLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    refit();
}

void FooterLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) refit();
}

void FooterLabel::refit() {
    const QString shown = fit_footer_text(message_, fontMetrics(), contentsRect().width());
    if (shown != text()) setText(shown);
    const QString tip = shown == message_ ? QString() : plain_tooltip(ends_of(message_));
    if (tip != toolTip()) setToolTip(tip);
}

}  // namespace vyr::app

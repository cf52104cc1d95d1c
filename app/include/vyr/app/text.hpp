// Figures and texts as the views show them.
#pragma once

#include <QString>

#include <string>

namespace vyr::app {

// A figure in fixed-point notation with `decimals` places, correctly rounded
// (an exact half to the even neighbour), a point as the decimal sign whatever
// the locale, no grouping: Python's "%.{decimals}f" % value.
QString fixed(double value, int decimals);
// A whole number in decimal.
QString integer(long long value);
// "%" followed by the figure: percent_text(42.5, 0) == "%42".
QString percent_text(double value, int decimals = 0);
// A UTF-8 text of a record or literal as a QString.
inline QString qs(const std::string& utf8) { return QString::fromStdString(utf8); }
inline QString qs(const char* utf8) { return QString::fromUtf8(utf8); }
// A tool tip that shows `text` literally: Qt takes a tool tip that looks like
// markup for rich text, so the text is escaped into rich text of its own
// that keeps its blanks and lines (no wrapping, as with a plain tool tip).
QString plain_tooltip(const QString& text);
// A UTF-8 text as a view lays it out: its first 512 characters, then "…"
// when it goes on, so a very long name costs no more than a short one.
QString laid_out(const std::string& utf8);

}  // namespace vyr::app

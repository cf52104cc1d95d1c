#include "vyr/app/text.hpp"

#include "vyr/numfmt.hpp"

namespace vyr::app {

QString fixed(double value, int decimals) {
    return QString::fromStdString(vyr::numfmt::fixed(value, decimals));
}

QString integer(long long value) { return QString::fromStdString(vyr::numfmt::integer(value)); }

QString percent_text(double value, int decimals) {
    return QStringLiteral("%") + fixed(value, decimals);
}

QString plain_tooltip(const QString& text) {
    // Escaped into rich text whose lines are kept as they are: Qt word-wraps
    // rich tool tips into a narrow box otherwise, which a plain one never is.
    return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

}  // namespace vyr::app

#include "vyr/app/text.hpp"

#include <QTextDocument>

#include "vyr/numfmt.hpp"

namespace vyr::app {

QString fixed(double value, int decimals) {
    return QString::fromStdString(vyr::numfmt::fixed(value, decimals));
}

QString integer(long long value) { return QString::fromStdString(vyr::numfmt::integer(value)); }

QString percent_text(double value, int decimals) {
    return QStringLiteral("%") + fixed(value, decimals);
}

QString plain_tooltip(const QString& text) { return Qt::convertFromPlainText(text, Qt::WhiteSpacePre); }

}  // namespace vyr::app

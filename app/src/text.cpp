#include "vyr/app/text.hpp"

#include "vyr/numfmt.hpp"

#include <cstddef>
#include <string>

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

// Texts longer than this many characters are cut where the views lay them
// out (cells and tool tips): laying a text out takes time along its
// whole length, and this many characters are wider than any screen already.
namespace {
constexpr std::size_t kLaidOutChars = 512;
}  // namespace

// The first kLaidOutChars characters of a UTF-8 text, "…" after them when the
// text goes on. Each byte that does not continue a sequence starts a
// character (an invalid one shows as one); at most four bytes are taken per
// character, so invalid text is bounded too.
QString laid_out(const std::string& utf8) {
    if (utf8.size() <= kLaidOutChars) return qs(utf8);
    std::size_t chars = 0;
    std::size_t end = 0;
    for (; end < utf8.size() && end < 4 * kLaidOutChars; ++end)
        if ((static_cast<unsigned char>(utf8[end]) & 0xC0) != 0x80 && chars++ == kLaidOutChars) break;
    if (end == utf8.size()) return qs(utf8);
    return qs(utf8.substr(0, end)) + QChar(0x2026);
}

}  // namespace vyr::app

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>

#include "vyr/desk_guard/texts.hpp"
#include "vyr/desk_guard/window_helpers.hpp"

namespace vyr::desk_guard {

QString literal_ampersands(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("&&"), QStringLiteral("&"));
    out.replace(QStringLiteral("&"), QStringLiteral("&&"));
    return out;
}

namespace {

void clean_title(QWidget* win, TextOps& ops) {
    const QString title = win->windowTitle();
    const int dash = title.indexOf(QChar(texts::kEmDash));
    if (dash < 0 || !title.contains(QString::fromUtf8(texts::kCreditMarker))) return;
    const auto main_part = ops.strip(title.left(dash));
    if (!main_part) return;
    const auto cleaned = ops.clean(*main_part);
    if (!cleaned) return;
    win->setWindowTitle(*cleaned);
}

void hide_footers(QWidget* win) {
    const auto frames = win->findChildren<QFrame*>();
    for (QFrame* frame : frames) {
        const QString name = frame->objectName();
        if (name == QLatin1String("FooterCard") || name == QLatin1String("FooterBar")) frame->hide();
    }
}

void clean_labels(QWidget* win, TextOps& ops) {
    const auto labels = win->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        const QString text = label->text();
        if (text.isEmpty() || text.contains(QLatin1Char('<'))) continue;
        const auto cleaned = ops.clean(text);
        if (cleaned && *cleaned != text) label->setText(*cleaned);
    }
}

void clean_buttons(QWidget* win, TextOps& ops) {
    const auto buttons = win->findChildren<QPushButton*>();
    for (QPushButton* button : buttons) {
        const QString text = button->text();
        if (text.isEmpty()) continue;
        const auto cleaned = ops.clean(text);
        if (cleaned && !cleaned->isEmpty() && *cleaned != text)
            button->setText(literal_ampersands(*cleaned));
    }
}

void clean_tabs(QWidget* win, TextOps& ops) {
    const auto tab_widgets = win->findChildren<QTabWidget*>();
    for (QTabWidget* tabs : tab_widgets) {
        for (int i = 0; i < tabs->count(); ++i) {
            const QString title = tabs->tabText(i);
            const auto cleaned = ops.clean(title);
            if (!cleaned) break;  // the rest of this tab widget is left
            if (!cleaned->isEmpty() && *cleaned != title)
                tabs->setTabText(i, literal_ampersands(*cleaned));
        }
    }
}

void clean_list_items(QWidget* win, TextOps& ops) {
    const auto lists = win->findChildren<QListWidget*>();
    for (QListWidget* list : lists) {
        for (int row = 0; row < list->count(); ++row) {
            QListWidgetItem* item = list->item(row);
            if (!item) continue;
            const QString text = item->text();
            const auto cleaned = ops.clean(text);
            if (!cleaned) break;
            if (*cleaned != text) item->setText(*cleaned);
        }
    }
}

}  // namespace

void sanitize_ui_tree(QWidget* win, TextOps& ops) {
    clean_title(win, ops);
    hide_footers(win);
    clean_labels(win, ops);
    clean_buttons(win, ops);
    clean_tabs(win, ops);
    clean_list_items(win, ops);
}

}  // namespace vyr::desk_guard

// One-time layout rules that let a main window fit on small screens.
#include <QAbstractScrollArea>
#include <QBoxLayout>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMainWindow>
#include <QScrollArea>
#include <QSizePolicy>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabWidget>

#include <algorithm>
#include <functional>

#include "vyr/desk_guard/screen_fit.hpp"
#include "vyr/desk_guard/texts.hpp"

namespace vyr::desk_guard {

namespace {

constexpr int kNoMaximum = 16777215;  // QWIDGETSIZE_MAX

bool is_frame_name(const QString& name) {
    static const QStringList names = {"HeaderCard", "FooterCard", "FooterBar", "TopBar",
                                      "HeaderFrame", "Card", "StatCard", "SectionCard"};
    return names.contains(name);
}

bool is_sidebar_name(const QString& name) {
    static const QStringList names = {"Sidebar", "NavList", "SidebarCard"};
    return names.contains(name);
}

bool shows_pixmap(const QLabel* label) {
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
    return label->pixmap() != nullptr;
QT_WARNING_POP
}

QScrollArea* make_sidebar_scroll() {
    auto* area = new QScrollArea();
    area->setObjectName(QString::fromUtf8(texts::kSidebarScrollName));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setMinimumHeight(180);
    area->setStyleSheet(QString::fromUtf8(texts::kSidebarScrollStyle));
    return area;
}

void relax_pages(int count, const std::function<QWidget*(int)>& page) {
    for (int i = 0; i < count; ++i) {
        if (QWidget* p = page(i)) p->setMinimumSize(0, 0);
    }
}

}  // namespace

void relax_labels_and_frames(QWidget* win) {
    const auto labels = win->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        if (shows_pixmap(label)) continue;
        if (label->wordWrap() && label->maximumWidth() > 120 && label->minimumWidth() > 120)
            label->setMinimumWidth(80);
    }
    const auto frames = win->findChildren<QFrame*>();
    for (QFrame* frame : frames) {
        if (is_frame_name(frame->objectName())) {
            frame->setMinimumWidth(0);
        } else if (frame->minimumWidth() > 240 && frame->maximumWidth() == kNoMaximum) {
            frame->setMinimumWidth(140);
        }
    }
}

std::optional<QList<QLayout*>> collect_layouts(QWidget* win) {
    auto* main = qobject_cast<QMainWindow*>(win);
    if (!main) return std::nullopt;
    QList<QLayout*> layouts = win->findChildren<QLayout*>();
    if (QWidget* central = main->centralWidget()) {
        if (QLayout* layout = central->layout()) layouts.append(layout);
    }
    return layouts;
}

std::optional<int> sidebar_base_width(const QString& object_name, int min_w, int max_w) {
    const bool sidebar =
        is_sidebar_name(object_name) || (min_w >= 230 && min_w <= 300 && min_w == max_w);
    if (!sidebar) return std::nullopt;
    const int base = min_w == 0 ? 250 : min_w;
    return std::clamp(base, 235, 272);
}

void find_sidebars(QWidget* win, const QList<QLayout*>& layouts,
                   std::vector<SidebarRecord>& sidebars) {
    const auto widgets = win->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        auto* frame = qobject_cast<QFrame*>(widget);
        if (!frame && !qobject_cast<QListWidget*>(widget)) continue;
        const auto base = sidebar_base_width(widget->objectName(), widget->minimumWidth(),
                                             widget->maximumWidth());
        if (!base) continue;
        if (frame && widget->minimumSizeHint().height() > 380) {
            QLayout* holder = nullptr;
            int index = -1;
            for (QLayout* layout : layouts) {
                const int i = layout->indexOf(widget);
                if (i >= 0) {
                    holder = layout;
                    index = i;
                    break;
                }
            }
            if (auto* row = qobject_cast<QHBoxLayout*>(holder)) {
                row->removeWidget(widget);
                QScrollArea* area = make_sidebar_scroll();
                widget->setMinimumWidth(0);
                widget->setMaximumWidth(kNoMaximum);
                area->setWidget(widget);
                area->setFixedWidth(*base);
                row->insertWidget(index, area);
                sidebars.push_back({area, *base});
                continue;
            }
        }
        sidebars.push_back({widget, *base});
    }
}

void relax_stacks_tabs_splitters(QWidget* win) {
    const auto stacks = win->findChildren<QStackedWidget*>();
    for (QStackedWidget* stack : stacks) {
        stack->setMinimumSize(320, 180);
        relax_pages(stack->count(), [stack](int i) { return stack->widget(i); });
    }
    const auto tab_widgets = win->findChildren<QTabWidget*>();
    for (QTabWidget* tabs : tab_widgets) {
        tabs->setMinimumSize(360, 200);
        tabs->setUsesScrollButtons(true);
        relax_pages(tabs->count(), [tabs](int i) { return tabs->widget(i); });
    }
    const auto splitters = win->findChildren<QSplitter*>();
    for (QSplitter* splitter : splitters) {
        splitter->setChildrenCollapsible(false);
        splitter->setMinimumSize(320, 180);
        for (int i = 0; i < splitter->count(); ++i) {
            QWidget* child = splitter->widget(i);
            if (!child) continue;
            const int min_w = std::min(child->minimumWidth(), 200);
            const int min_h = std::min(child->minimumHeight(), 85);
            child->setMinimumSize(min_w, min_h);
            if (qobject_cast<QAbstractScrollArea*>(child) || qobject_cast<QSplitter*>(child) ||
                qobject_cast<QTabWidget*>(child) || qobject_cast<QStackedWidget*>(child))
                continue;
            const QSize hint = child->minimumSizeHint();
            if (hint.height() > 260 || hint.width() > 480)
                child->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        }
        if (splitter->orientation() == Qt::Vertical && splitter->count() == 2) {
            splitter->setStretchFactor(0, 4);
            splitter->setStretchFactor(1, 1);
            splitter->setSizes({420, 105});
        }
    }
}

bool apply_widget_rules(QWidget* win, std::vector<SidebarRecord>& sidebars) {
    relax_labels_and_frames(win);
    const auto layouts = collect_layouts(win);
    if (!layouts) return false;
    find_sidebars(win, *layouts, sidebars);
    relax_stacks_tabs_splitters(win);
    return true;
}

}  // namespace vyr::desk_guard

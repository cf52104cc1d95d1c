#include <QFrame>
#include <QScrollArea>
#include <QSizePolicy>

#include "vyr/desk_guard/texts.hpp"
#include "vyr/desk_guard/window_helpers.hpp"

namespace vyr::desk_guard {

QScrollArea* wrap_widget_in_scroll(QWidget* page) {
    auto* area = new QScrollArea();
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setMinimumSize(220, 180);
    area->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    area->setStyleSheet(QString::fromUtf8(texts::kPageScrollStyle));
    page->setMinimumSize(0, 0);
    area->setWidget(page);
    return area;
}

}  // namespace vyr::desk_guard

// Drawing helpers shared by the painted views, the menus and the inspector.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QPainter;

namespace vyr::app {

// "#DC2626" from 88, "#D97706" from 75, else `default_hex` unchanged (also for NaN).
QString level_color(double percent, const QString& default_hex);

// A new bold "Roboto" font of `size_pt` points, antialiased, fully hinted.
QFont make_clean_font(int size_pt);

// Strokes the 16 x 16 line icon of a metric key centred at (cx, cy) in `color`.
// Leaves the painter with the icon pen and no brush (after "disk": no pen and
// a solid brush of `color`). An unknown key draws nothing.
void draw_metric_vector_icon(QPainter& p, const QString& metric_key, double cx, double cy, const QColor& color);

}  // namespace vyr::app

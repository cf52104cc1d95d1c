// One painted metric row of the summary popup (276 x 48).
#pragma once

#include <QString>
#include <QWidget>

namespace vyr::app {

// Width of a row's bar fill for a row `w` pixels wide: none at 0.5 % and
// below, else the track width's share of `percent`, at least 3.
double row_fill_width(int w, double percent);

class PopupMetricRow : public QWidget {
    Q_OBJECT

public:
    // `metric_key` must be a key of METRIC_META; any other key throws
    // std::invalid_argument and no row is made.
    explicit PopupMetricRow(const QString& metric_key, QWidget* parent = nullptr);

    // Percent clamped to 0..100; the accent is `custom_color` when it is not
    // empty, else the level colour of the percent over the metric's own accent.
    void update_row(double percent, const QString& sub_detail, const QString& custom_color = QString());
    // Drops the pointer's highlight, as when the pointer leaves the row.
    void clear_hover();

signals:
    void clicked(const QString& metric_key);

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    const QString metric_key;
    const QString title_text;
    const QString default_accent;
    QString current_accent;
    double percent = 0.0;
    QString sub_detail = QStringLiteral("Hesaplanıyor...");
    bool is_hovered = false;
};

}  // namespace vyr::app

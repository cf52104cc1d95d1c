#include "process_table.hpp"

#include <QEvent>
#include <QHeaderView>

#include <algorithm>
#include <cstring>

#include "vyr/app/drawing.hpp"
#include "vyr/app/inspector.hpp"
#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

// What one cell of a process row shows. An alignment of 0 leaves the cell
// at the table's own alignment.
struct CellLook {
    QString text;
    const char* colour;
    int alignment;
};

constexpr int kCentred = Qt::AlignCenter;
constexpr int kRight = Qt::AlignRight | Qt::AlignVCenter;

QString io_text(const ProcessEntry& proc) {
    const QString total = fixed(proc.disk_total_mb, 0) + QStringLiteral(" MB)");
    if (proc.disk_rw_kb_s >= 1024) return fixed(proc.disk_rw_kb_s / 1024, 2) + QStringLiteral(" MB/s (") + total;
    if (proc.disk_rw_kb_s > 0.5) return fixed(proc.disk_rw_kb_s, 0) + QStringLiteral(" KB/s (") + total;
    return QStringLiteral("0 KB/s (") + total;
}

// The eight cells of a row, in column order, with the level colours of the
// figures (each threshold compares the unrounded value).
std::array<CellLook, 8> row_cells(const ProcessEntry& proc) {
    const char* wl_colour = proc.workload_score >= 30 ? "#DC2626" : proc.workload_score >= 12 ? "#D97706" : "#15803D";
    const char* cpu_colour = proc.cpu_percent >= 25 ? "#DC2626" : proc.cpu_percent >= 8 ? "#0284C7" : "#334155";
    return {{
        {integer(proc.pid), "#475569", kCentred},
        {qs(proc.display_name), "#0F172A", 0},
        {qs(proc.username), "#475569", kCentred},
        {fixed(proc.workload_score, 1) + QStringLiteral(" p"), wl_colour, kRight},
        {percent_text(proc.cpu_percent, 1), cpu_colour, kRight},
        {fixed(proc.ram_mb, 0) + QStringLiteral(" MB (%") + fixed(proc.ram_percent, 1) + QStringLiteral(")"),
         proc.ram_percent >= 10 ? "#4F46E5" : "#334155", kRight},
        {fixed(proc.swap_mb, 1) + QStringLiteral(" MB"), proc.swap_mb > 0 ? "#7C3AED" : "#475569", kRight},
        {io_text(proc), proc.disk_rw_kb_s > 100 ? "#D97706" : "#475569", kRight},
    }};
}

QBrush brush_of(const char* colour) { return QBrush(QColor(QLatin1String(colour))); }

bool same_colour(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

QString name_tooltip(const ProcessEntry& proc) {
    return plain_tooltip(QStringLiteral("Komut: ") + qs(proc.cmdline) + QStringLiteral("\nDurum: ") + qs(proc.status));
}

}  // namespace

ProcessTable::ProcessTable() : QTableWidget(0, 8), row_font_(make_clean_font(10)) {
    // Told of a changed cell, the header fits its columns again, and the
    // repaint of that cell makes it do so at once: a refresh of many cells
    // would measure every column as many times. The table fits them itself,
    // once per refresh and only when a column's widest text changed.
    QObject::disconnect(model(), &QAbstractItemModel::dataChanged, horizontalHeader(), nullptr);
}

int ProcessTable::show_rows(const std::vector<ProcessEntry>& procs, std::optional<long long> pid) {
    // Rows that were not written here (none in the program) are written whole.
    if (shown_.size() != static_cast<std::size_t>(rowCount())) shown_.assign(static_cast<std::size_t>(rowCount()), {});
    std::array<bool, 8> texts_changed{};
    if (rowCount() != static_cast<int>(procs.size())) {
        setRowCount(static_cast<int>(procs.size()));
        texts_changed.fill(true);  // rows came or went
    }
    shown_.resize(procs.size());
    widths_.resize(procs.size(), {-1, -1, -1, -1, -1, -1, -1, -1});
    int row_to_select = -1;
    for (int row = 0; row < static_cast<int>(procs.size()); ++row) {
        const ProcessEntry& proc = procs[static_cast<std::size_t>(row)];
        if (pid && proc.pid == *pid) row_to_select = row;
        show_row(row, proc, texts_changed);
        setRowHeight(row, 28);
    }
    fit_columns(texts_changed);
    return row_to_select;
}

// The item of a cell, made with the row font when the cell has none; its
// row is then written whole.
QTableWidgetItem* ProcessTable::cell_item(int row, int col) {
    QTableWidgetItem* it = item(row, col);
    if (it) return it;
    it = new QTableWidgetItem();
    it->setFont(row_font_);
    setItem(row, col, it);
    shown_[static_cast<std::size_t>(row)].filled = false;
    return it;
}

void ProcessTable::show_row(int row, const ProcessEntry& proc, std::array<bool, 8>& texts_changed) {
    const std::array<CellLook, 8> cells = row_cells(proc);
    std::array<QTableWidgetItem*, 8> items{};
    for (int col = 0; col < 8; ++col) items[static_cast<std::size_t>(col)] = cell_item(row, col);
    RowShown& was = shown_[static_cast<std::size_t>(row)];
    const bool whole = !was.filled;
    for (std::size_t col = 0; col < 8; ++col) {
        const CellLook& look = cells[col];
        QTableWidgetItem* it = items[col];
        if (whole || look.text != was.texts[col]) {
            widths_[static_cast<std::size_t>(row)][col] = -1;  // before the change is signalled
            it->setText(look.text);
            was.texts[col] = look.text;
            texts_changed[col] = true;
        }
        if (whole || !same_colour(look.colour, was.colours[col])) {
            it->setForeground(brush_of(look.colour));
            was.colours[col] = look.colour;
        }
        if (whole && look.alignment) it->setTextAlignment(look.alignment);
    }
    if (whole || proc.pid != was.pid) {
        items[0]->setData(Qt::UserRole, QVariant::fromValue<qlonglong>(proc.pid));
        was.pid = proc.pid;
    }
    if (whole || proc.name != was.name) {
        items[0]->setData(VyrProcessInspectorDialog::ProcessNameRole, qs(proc.name));
        was.name = proc.name;
    }
    if (whole || proc.cmdline != was.cmdline || proc.status != was.status) {
        items[1]->setToolTip(name_tooltip(proc));
        was.cmdline = proc.cmdline;
        was.status = proc.status;
    }
    was.filled = true;
}

void ProcessTable::fit_columns(const std::array<bool, 8>& texts_changed) {
    QHeaderView* header = horizontalHeader();
    bool changed = false;
    for (int col = 0; col < 8; ++col) {
        if (!texts_changed[static_cast<std::size_t>(col)] && fitted_[static_cast<std::size_t>(col)] >= 0) continue;
        if (header->sectionResizeMode(col) != QHeaderView::ResizeToContents) continue;
        const int hint = sizeHintForColumn(col);
        if (hint != fitted_[static_cast<std::size_t>(col)]) changed = true;
        fitted_[static_cast<std::size_t>(col)] = hint;
    }
    // The header's own fitting, as it runs after a change it was told of
    // (a slot Qt keeps protected).
    if (changed) QMetaObject::invokeMethod(header, "resizeSections", Qt::DirectConnection);
}

int ProcessTable::sizeHintForColumn(int column) const {
    const int rows = model()->rowCount();
    if (column < 0 || column >= 8 || static_cast<std::size_t>(rows) != widths_.size())
        return QTableWidget::sizeHintForColumn(column);
    ensurePolished();
    const QStyleOptionViewItem option = viewOptions();
    int hint = 0;
    for (int row = 0; row < rows; ++row) {
        if (verticalHeader()->isSectionHidden(row)) continue;
        int& width = widths_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
        if (width < 0) width = cell_width(row, column, option);
        hint = std::max(hint, width);
    }
    return showGrid() ? hint + 1 : hint;
}

// The cells written here share font and options, so a text measured once, in
// any of them, has its width; a cell without an item is measured on its own.
int ProcessTable::cell_width(int row, int column, const QStyleOptionViewItem& option) const {
    const QModelIndex index = model()->index(row, column);
    if (!item(row, column)) return itemDelegate(index)->sizeHint(option, index).width();
    const QString text = index.data().toString();
    const auto known = text_widths_.constFind(text);
    if (known != text_widths_.constEnd()) return *known;
    const int width = itemDelegate(index)->sizeHint(option, index).width();
    if (text_widths_.size() >= kTextWidthsKept) text_widths_.clear();
    text_widths_.insert(text, width);
    return width;
}

void ProcessTable::changeEvent(QEvent* event) {
    // A new font or style sizes every cell anew.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        for (auto& row : widths_) row.fill(-1);
        text_widths_.clear();
        fitted_.fill(-1);
    }
    QTableWidget::changeEvent(event);
}

}  // namespace vyr::app

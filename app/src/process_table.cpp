#include "process_table.hpp"

#include <QEvent>
#include <QHeaderView>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "vyr/app/drawing.hpp"
#include "vyr/app/inspector.hpp"
#include "vyr/app/text.hpp"

namespace vyr::app {

namespace {

// A colour text "#RRGGBB" as the colour's value.
constexpr QRgb hex(const char* text) {
    QRgb rgb = 0xFF;
    for (int i = 1; i <= 6; ++i) {
        const char c = text[i];
        rgb = rgb << 4 | static_cast<QRgb>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return rgb;
}

// What one cell of a process row shows.
struct CellLook {
    QString text;
    QRgb colour;
};

// One column of the table. An alignment of 0 leaves the cell at the table's
// own alignment. A column with tool tips names the texts a tip is made of
// (`tip_source`) and makes the tip from them (`tool_tip`): a tip is made
// anew only when its texts change.
struct Column {
    const char* title;  // UTF-8
    QHeaderView::ResizeMode resize;
    int alignment;
    CellLook (*cell)(const ProcessEntry&);
    std::string (*tip_source)(const ProcessEntry&);
    QString (*tool_tip)(const ProcessEntry&);
};

constexpr int kCentred = Qt::AlignCenter;
constexpr int kRight = Qt::AlignRight | Qt::AlignVCenter;

QString io_text(const ProcessEntry& proc) {
    const QString total = fixed(proc.disk_total_mb, 0) + QStringLiteral(" MB)");
    if (proc.disk_rw_kb_s >= 1024) return fixed(proc.disk_rw_kb_s / 1024, 2) + QStringLiteral(" MB/s (") + total;
    if (proc.disk_rw_kb_s > 0.5) return fixed(proc.disk_rw_kb_s, 0) + QStringLiteral(" KB/s (") + total;
    return QStringLiteral("0 KB/s (") + total;
}

std::string name_tip_source(const ProcessEntry& proc) { return proc.cmdline + '\0' + proc.status; }

QString name_tooltip(const ProcessEntry& proc) {
    return plain_tooltip(QStringLiteral("Komut: ") + laid_out(proc.cmdline) + QStringLiteral("\nDurum: ") +
                         laid_out(proc.status));
}

// The columns, left to right, with the level colours of the figures (each
// threshold compares the unrounded value). Only the name column takes the
// spare width; the others fit their contents.
constexpr Column kColumns[] = {
    {"PID", QHeaderView::ResizeToContents, kCentred,
     [](const ProcessEntry& p) { return CellLook{integer(p.pid), hex("#475569")}; }, nullptr, nullptr},
    {"Program / İşlem Adı", QHeaderView::Stretch, 0,
     [](const ProcessEntry& p) { return CellLook{laid_out(p.display_name), hex("#0F172A")}; }, name_tip_source,
     name_tooltip},
    {"Kullanıcı", QHeaderView::ResizeToContents, kCentred,
     [](const ProcessEntry& p) { return CellLook{laid_out(p.username), hex("#475569")}; }, nullptr, nullptr},
    {"Genel Yük", QHeaderView::ResizeToContents, kRight,
     [](const ProcessEntry& p) {
         return CellLook{fixed(p.workload_score, 1) + QStringLiteral(" p"),
                         hex(p.workload_score >= 30 ? "#DC2626" : p.workload_score >= 12 ? "#D97706" : "#15803D")};
     },
     nullptr, nullptr},
    {"CPU %", QHeaderView::ResizeToContents, kRight,
     [](const ProcessEntry& p) {
         return CellLook{percent_text(p.cpu_percent, 1),
                         hex(p.cpu_percent >= 25 ? "#DC2626" : p.cpu_percent >= 8 ? "#0284C7" : "#334155")};
     },
     nullptr, nullptr},
    {"RAM (MB / %)", QHeaderView::ResizeToContents, kRight,
     [](const ProcessEntry& p) {
         return CellLook{fixed(p.ram_mb, 0) + QStringLiteral(" MB (%") + fixed(p.ram_percent, 1) + QStringLiteral(")"),
                         hex(p.ram_percent >= 10 ? "#4F46E5" : "#334155")};
     },
     nullptr, nullptr},
    {"Swap (MB)", QHeaderView::ResizeToContents, kRight,
     [](const ProcessEntry& p) {
         return CellLook{fixed(p.swap_mb, 1) + QStringLiteral(" MB"), hex(p.swap_mb > 0 ? "#7C3AED" : "#475569")};
     },
     nullptr, nullptr},
    {"Disk G/Ç (Toplam)", QHeaderView::ResizeToContents, kRight,
     [](const ProcessEntry& p) { return CellLook{io_text(p), hex(p.disk_rw_kb_s > 100 ? "#D97706" : "#475569")}; },
     nullptr, nullptr},
};

constexpr int kColumnCount = static_cast<int>(std::size(kColumns));

// The first cell of a row keeps the row's process id and name; a cell with
// a tool tip keeps the texts the tip was made of.
constexpr int kPidRole = Qt::UserRole;
constexpr int kNameRole = VyrProcessInspectorDialog::ProcessNameRole;
constexpr int kTipSourceRole = Qt::UserRole + 2;

bool same_bytes(const QByteArray& kept, const std::string& bytes) {
    return static_cast<std::size_t>(kept.size()) == bytes.size() &&
           std::memcmp(kept.constData(), bytes.data(), bytes.size()) == 0;
}

// Whether `item` keeps `bytes` under `role`; else they are written there.
// An item signals every write, even of the value it has.
bool keep_bytes(QTableWidgetItem* item, int role, const std::string& bytes) {
    const QVariant kept = item->data(role);
    if (kept.isValid() && same_bytes(kept.toByteArray(), bytes)) return true;
    item->setData(role, QByteArray::fromStdString(bytes));
    return false;
}

}  // namespace

ProcessTable::ProcessTable() : QTableWidget(0, kColumnCount), fitted_(kColumnCount, -1), row_font_(make_clean_font(10)) {
    QStringList titles;
    for (const Column& column : kColumns) titles << QString::fromUtf8(column.title);
    setHorizontalHeaderLabels(titles);
    for (int col = 0; col < kColumnCount; ++col) horizontalHeader()->setSectionResizeMode(col, kColumns[col].resize);
    // Told of a changed cell, the header fits its columns again, and the
    // repaint of that cell makes it do so at once: a refresh of many cells
    // would measure every column as many times. The table fits them itself,
    // once per refresh and only when a column's widest text changed.
    QObject::disconnect(model(), &QAbstractItemModel::dataChanged, horizontalHeader(), nullptr);
}

int ProcessTable::show_rows(const std::vector<ProcessEntry>& procs, std::optional<long long> pid) {
    std::vector<bool> texts_changed(kColumnCount, false);
    if (rowCount() != static_cast<int>(procs.size())) {
        setRowCount(static_cast<int>(procs.size()));
        texts_changed.assign(kColumnCount, true);  // rows came or went
    }
    widths_.resize(procs.size() * kColumnCount, -1);
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

std::optional<long long> ProcessTable::pid_of(int row) const {
    const QTableWidgetItem* first = item(row, 0);
    if (!first) return std::nullopt;
    bool ok = false;
    const qlonglong pid = first->data(kPidRole).toLongLong(&ok);
    if (!ok) return std::nullopt;
    return pid;
}

std::optional<std::string> ProcessTable::name_of(int row) const {
    const QTableWidgetItem* first = item(row, 0);
    if (!first) return std::nullopt;
    const QVariant name = first->data(kNameRole);
    if (!name.isValid()) return std::nullopt;
    const QByteArray bytes = name.toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The item of a cell, made with the row font and the column's alignment when
// the cell has none.
QTableWidgetItem* ProcessTable::cell_item(int row, int col) {
    if (QTableWidgetItem* it = item(row, col)) return it;
    auto* it = new QTableWidgetItem();
    it->setFont(row_font_);
    if (kColumns[col].alignment) it->setTextAlignment(kColumns[col].alignment);
    setItem(row, col, it);
    return it;
}

void ProcessTable::show_row(int row, const ProcessEntry& proc, std::vector<bool>& texts_changed) {
    for (int col = 0; col < kColumnCount; ++col) {
        const Column& column = kColumns[col];
        QTableWidgetItem* it = cell_item(row, col);
        const CellLook look = column.cell(proc);
        if (it->text() != look.text) {
            widths_[static_cast<std::size_t>(row * kColumnCount + col)] = -1;  // before the change is signalled
            it->setText(look.text);
            texts_changed[static_cast<std::size_t>(col)] = true;
        }
        const QVariant shown = it->data(Qt::ForegroundRole);
        if (!shown.isValid() || shown.value<QBrush>().color().rgba() != look.colour)
            it->setForeground(QBrush(QColor::fromRgba(look.colour)));
        if (column.tool_tip && !keep_bytes(it, kTipSourceRole, column.tip_source(proc)))
            it->setToolTip(column.tool_tip(proc));
    }
    QTableWidgetItem* first = item(row, 0);
    bool ok = false;
    if (first->data(kPidRole).toLongLong(&ok) != proc.pid || !ok)
        first->setData(kPidRole, QVariant::fromValue<qlonglong>(proc.pid));
    keep_bytes(first, kNameRole, proc.name);
}

void ProcessTable::fit_columns(const std::vector<bool>& texts_changed) {
    QHeaderView* header = horizontalHeader();
    bool changed = false;
    for (int col = 0; col < kColumnCount; ++col) {
        int& fitted = fitted_[static_cast<std::size_t>(col)];
        if (!texts_changed[static_cast<std::size_t>(col)] && fitted >= 0) continue;
        if (header->sectionResizeMode(col) != QHeaderView::ResizeToContents) continue;
        const int hint = sizeHintForColumn(col);
        if (hint != fitted) changed = true;
        fitted = hint;
    }
    // The header's own fitting, as it runs after a change it was told of
    // (a slot Qt keeps protected).
    if (changed) QMetaObject::invokeMethod(header, "resizeSections", Qt::DirectConnection);
}

int ProcessTable::sizeHintForColumn(int column) const {
    if (column < 0 || column >= kColumnCount) return QTableWidget::sizeHintForColumn(column);
    ensurePolished();
    const QStyleOptionViewItem option = viewOptions();
    // Rows that were not written here (none in the program) are measured whole.
    const bool kept = widths_.size() == static_cast<std::size_t>(rowCount()) * kColumnCount;
    int hint = 0;
    for (int row = 0; row < rowCount(); ++row) {
        if (verticalHeader()->isSectionHidden(row)) continue;
        if (!kept) {
            hint = std::max(hint, cell_width(row, column, option));
            continue;
        }
        int& width = widths_[static_cast<std::size_t>(row * kColumnCount + column)];
        if (width < 0) width = cell_width(row, column, option);
        hint = std::max(hint, width);
    }
    return showGrid() ? hint + 1 : hint;
}

// The cells written here share font and options, so a text measured once, in
// any of them, has its width; a cell without an item is measured on its own.
int ProcessTable::cell_width(int row, int column, const QStyleOptionViewItem& option) const {
    const QModelIndex index = model()->index(row, column);
    const QTableWidgetItem* it = item(row, column);
    if (!it) return itemDelegate(index)->sizeHint(option, index).width();
    const QString text = it->text();
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
        text_widths_.clear();
        std::fill(widths_.begin(), widths_.end(), -1);
        std::fill(fitted_.begin(), fitted_.end(), -1);
    }
    QTableWidget::changeEvent(event);
}

}  // namespace vyr::app

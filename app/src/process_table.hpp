// The inspector's process table: eight read-only columns, one row per process
// entry in the order given. A refresh writes only what changed: a cell whose
// text, colour and kept data are those it shows already is not touched, so
// it is neither signalled nor repainted; columns that fit their contents
// measure only the texts not measured before, and are fitted again only when
// their widest cell changed.
#pragma once

#include <QHash>
#include <QTableWidget>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "vyr/records.hpp"

namespace vyr::app {

class ProcessTable final : public QTableWidget {
public:
    ProcessTable();

    // One row per entry, in order, each 28 high. Returns the row of the last
    // entry whose pid is `pid`, or -1.
    int show_rows(const std::vector<ProcessEntry>& procs, std::optional<long long> pid);

    // The widest of the column's cells, from widths kept per cell and measured
    // again only for a cell whose text changed (Qt measures every row).
    int sizeHintForColumn(int column) const override;

protected:
    void changeEvent(QEvent* event) override;

private:
    // What a row's cells were last given.
    struct RowShown {
        std::array<QString, 8> texts;
        std::array<const char*, 8> colours{};
        long long pid = 0;
        std::string name, cmdline, status;
        bool filled = false;  // false: write every cell and datum
    };
    // Writes what changed in one row, marking the columns where a text did.
    void show_row(int row, const ProcessEntry& proc, std::array<bool, 8>& texts_changed);
    QTableWidgetItem* cell_item(int row, int col);
    // Fits the columns that fit their contents again, when the widest cell of
    // one whose texts changed is no longer as wide.
    void fit_columns(const std::array<bool, 8>& texts_changed);
    int cell_width(int row, int column, const QStyleOptionViewItem& option) const;

    std::vector<RowShown> shown_;
    // Width hint of each cell; -1 when it is to be measured.
    mutable std::vector<std::array<int, 8>> widths_;
    // Width hints of the texts measured lately, whatever their cell.
    static constexpr int kTextWidthsKept = 4096;
    mutable QHash<QString, int> text_widths_;
    // What each column that fits its contents was last fitted to.
    std::array<int, 8> fitted_{-1, -1, -1, -1, -1, -1, -1, -1};
    QFont row_font_;
};

}  // namespace vyr::app

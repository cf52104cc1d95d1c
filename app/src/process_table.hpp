// The inspector's process table: read-only columns, one row per process entry
// in the order given. The columns (header text, how the width is set, how a
// cell is made from an entry) are described once, in the column table of
// process_table.cpp; everything here reads that table.
//
// A refresh writes only what changed: a cell whose text, colour and kept data
// are those its item holds already is not touched, so it is neither signalled
// nor repainted; columns that fit their contents measure only the texts not
// measured before, and are fitted again only when their widest cell changed.
//
// Texts that are laid out (cells and tool tips) are cut to a bound, so a
// process with a very long name costs the views no more than one with a short
// name. The name kept for the end and kill actions is the entry's own, byte
// for byte.
#pragma once

#include <QHash>
#include <QTableWidget>

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

    // What a row keeps of its entry: the process id and the entry's `name`,
    // its bytes as the engine gave them; none for a row without them.
    std::optional<long long> pid_of(int row) const;
    std::optional<std::string> name_of(int row) const;

    // The widest of the column's cells, from widths kept per cell and
    // measured again only for a cell whose text changed (Qt measures every
    // row), and then only for a text not measured before.
    int sizeHintForColumn(int column) const override;

protected:
    void changeEvent(QEvent* event) override;

private:
    // Writes what changed in one row, marking the columns where a text did.
    void show_row(int row, const ProcessEntry& proc, std::vector<bool>& texts_changed);
    QTableWidgetItem* cell_item(int row, int col);
    // Fits the columns that fit their contents again, when the widest cell of
    // one whose texts changed is no longer as wide.
    void fit_columns(const std::vector<bool>& texts_changed);
    int cell_width(int row, int column, const QStyleOptionViewItem& option) const;

    // Width hint of each cell, a row after another; -1 when it is to be measured.
    mutable std::vector<int> widths_;
    // Width hints of the texts measured lately, whatever their cell.
    static constexpr int kTextWidthsKept = 4096;
    mutable QHash<QString, int> text_widths_;
    // What each column that fits its contents was last fitted to; -1: not yet.
    std::vector<int> fitted_;
    QFont row_font_;
};

}  // namespace vyr::app

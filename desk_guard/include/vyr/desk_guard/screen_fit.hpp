// The screen-fit guard's C++ side: one-time widget rules that let a main
// window fit small screens, the sidebar widths that follow the window width,
// the refit on screen changes and at the first turn of the event loop, and the
// fonts and icon looked for beside the program.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QLayout;

namespace vyr::desk_guard {

// ---- Guard marker -------------------------------------------------------

// Whether the guard was attached to `win` (its marker property is true).
bool guard_attached(const QWidget* win);
void mark_guard_attached(QWidget* win);

// Python-style truth of a dynamic property: false when absent; for booleans,
// numbers, texts and lists their own truth; any other value counts as true.
bool property_is_set(const QWidget* win, const char* name);

// ---- Widget rules -------------------------------------------------------

struct SidebarRecord {
    QPointer<QWidget> widget;  // the sidebar, or the "SidebarScroll" area around it
    int base_width = 0;
};

struct DenseButton {
    QPointer<QWidget> button;
    QString base_style;
};

// Rules 1 and 2: relax the minimum widths of word-wrapping labels and of frames.
void relax_labels_and_frames(QWidget* win);

// Rule 3: every layout of the window, then the central widget's layout once
// more. No value when the window has no central widget accessor (it is not a
// QMainWindow).
std::optional<QList<QLayout*>> collect_layouts(QWidget* win);

// Base width of a widget that is a sidebar, or none when it is not one.
std::optional<int> sidebar_base_width(const QString& object_name, int min_w, int max_w);

// Rule 5: finds the sidebars, moves tall ones that sit in a horizontal box
// layout into a "SidebarScroll" area, and appends the records in order.
void find_sidebars(QWidget* win, const QList<QLayout*>& layouts,
                   std::vector<SidebarRecord>& sidebars);

// Rules 6 to 8: stacked widgets, tab widgets and splitters.
void relax_stacks_tabs_splitters(QWidget* win);

// All rules in their order. Returns false, after rules 1 and 2, when the
// window has no central widget accessor.
bool apply_widget_rules(QWidget* win, std::vector<SidebarRecord>& sidebars);

// ---- Responsive widths and screen synchronisation -----------------------

// The width a sidebar of `base_w` gets in a window `cur_w` wide.
int responsive_width(int base_w, int cur_w);

// Lives as a child of the guarded window: reapplies the sidebar widths on
// every resize of the window (before the window's own resize handling), on
// changes of the screens connected at install time, and once at the first
// turn of the event loop, and fits the window to a large enough screen.
class ScreenFit : public QObject {
    Q_OBJECT
public:
    // The available area of the screen the window is on, or none when there
    // is no application object or no screen.
    using AvailableArea = std::function<std::optional<QRect>()>;

    ScreenFit(QWidget* win, std::vector<SidebarRecord> sidebars);

    void apply_responsive_widths(int cur_w);
    // Any change of a screen's geometry, available area or dots per inch.
    void sync_to_screen();
    // Once, from a zero-delay timer started by install().
    void initial_fit();

    // Extends the window's resize handling, connects the screens the
    // application has now and starts the zero-delay first fit.
    void install();

    const std::vector<SidebarRecord>& sidebars() const { return sidebars_; }
    std::vector<DenseButton>& dense_buttons() { return dense_buttons_; }

    // For tests: where the available area comes from.
    void set_available_area(AvailableArea source) { available_area_ = std::move(source); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::optional<QRect> available_area() const;

    QPointer<QWidget> win_;
    std::vector<SidebarRecord> sidebars_;
    std::vector<DenseButton> dense_buttons_;
    AvailableArea available_area_;
};

// ---- Fonts, icon, application id ----------------------------------------

// The candidates that are not empty, are existing folders and not already
// kept (exact text comparison), in order.
QStringList search_folders(const QStringList& candidates);

// Registers every copy of the program's two font files found in the folders;
// returns the registered paths.
QStringList register_fonts(const QStringList& folders);

// The window icon's path: per folder, the first existing candidate name, else
// the first entry (in code order) whose name ends in "_icon.ico"/"_icon.png".
// No value when nothing was found; `listing_failed` is set when a folder could
// not be listed (the search stops there).
std::optional<QString> find_icon_path(const QStringList& folders, bool* listing_failed);

// Sets the icon at `path` on the window and, when there is an application
// object, on the application. Returns false (nothing set) for a null icon,
// which includes a file from which Qt can read no image.
bool apply_icon(QWidget* win, const QString& path);

// "Korvane.Vyr." and the application key, or "App" when the key is empty.
QString app_user_model_id(const QString& app_key);

// Sets the process's application user-model id on Windows; nothing elsewhere.
// Returns whether an id was set.
bool set_app_user_model_id(const QString& id);

}  // namespace vyr::desk_guard

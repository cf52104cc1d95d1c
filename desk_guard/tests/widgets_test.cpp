// Window helpers of the desktop guard on sample windows, offscreen:
// activation, scroll wrapper, text walk, screen-fit widget rules, responsive
// widths, screen synchronisation, fonts and icon.
#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

#include "vyr/desk_guard/screen_fit.hpp"
#include "vyr/desk_guard/window_helpers.hpp"

using namespace vyr::desk_guard;

namespace {

// How long a check waits for an event: far above what a busy machine takes.
constexpr int kEventWaitMs = 60000;

// A sample main window: a central widget with a horizontal row, and a
// resize handler that records the width of a watched widget at that moment.
class SampleWindow : public QMainWindow {
public:
    SampleWindow() {
        auto* central = new QWidget(this);
        row = new QHBoxLayout(central);
        setCentralWidget(central);
    }
    QHBoxLayout* row;
    QPointer<QWidget> watched;
    QList<int> widths_seen;

protected:
    void resizeEvent(QResizeEvent* event) override {
        if (watched) widths_seen.append(watched->width());
        QMainWindow::resizeEvent(event);
    }
};

// A frame whose minimum size hint has a given height.
class TallFrame : public QFrame {
public:
    explicit TallFrame(int hint_height) : hint_height_(hint_height) {}
    QSize minimumSizeHint() const override { return {50, hint_height_}; }

private:
    int hint_height_;
};

// Removes a leading "* " and fails (no value) for texts containing "fail".
class StubOps : public TextOps {
public:
    QStringList cleaned;
    std::optional<QString> clean(const QString& text) override {
        cleaned << text;
        if (text.contains("fail")) return std::nullopt;
        const QString out = (text.startsWith("* ") ? text.mid(2) : text).trimmed();
        return out.isEmpty() ? text.trimmed() : out;
    }
    std::optional<QString> strip(const QString& text) override { return text.trimmed(); }
};

QFrame* named_frame(const char* name, int min_w, int max_w = 16777215) {
    auto* f = new QFrame();
    f->setObjectName(name);
    f->setMinimumWidth(min_w);
    f->setMaximumWidth(max_w);
    return f;
}

}  // namespace

class WidgetsTest : public QObject {
    Q_OBJECT

private slots:
    // ---- Activation -------------------------------------------------------

    void minimized_window_comes_back_as_it_was() {
        QWidget win;
        win.showMaximized();
        win.setWindowState(win.windowState() | Qt::WindowMinimized);
        QVERIFY(win.isMinimized());
        bring_to_front(&win);
        QVERIFY(!win.isMinimized());
        QVERIFY(win.isMaximized());
        QVERIFY(win.windowState() & Qt::WindowActive);
        QVERIFY(win.isVisible());
        bring_to_front(nullptr);  // nothing to do, no crash
    }

    void default_target_skips_dialogs() {
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
        QCOMPARE(default_activation_target(), nullptr);
        auto dialog = std::make_unique<QDialog>();
        QCOMPARE(default_activation_target(), nullptr);  // only dialogs
        auto hidden = std::make_unique<QWidget>();       // hidden windows count
        QCOMPARE(default_activation_target(), hidden.get());
        QVERIFY(!hidden->isVisible());
        bring_to_front(default_activation_target());
        QVERIFY(hidden->isVisible());
    }

    // ---- Scroll wrapper ---------------------------------------------------

    void scroll_wrapper_takes_the_page() {
        QWidget old_parent;
        auto* page = new QWidget(&old_parent);
        page->setMinimumSize(500, 400);
        auto* inner = new QScrollArea(page);  // takes the sheet's look too
        std::unique_ptr<QScrollArea> area(wrap_widget_in_scroll(page));
        QCOMPARE(area->parentWidget(), nullptr);
        QCOMPARE(area->frameShape(), QFrame::NoFrame);
        QVERIFY(area->widgetResizable());
        QCOMPARE(area->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        QCOMPARE(area->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        QCOMPARE(area->minimumSize(), QSize(220, 180));
        QCOMPARE(area->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(area->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QVERIFY(area->styleSheet().startsWith(
            "QScrollArea { background: transparent; border: none; }QScrollBar:vertical { width: "
            "8px;"));
        QCOMPARE(area->widget(), page);
        QCOMPARE(page->minimumSize(), QSize(0, 0));
        QVERIFY(old_parent.findChildren<QWidget*>().isEmpty());
        area->resize(300, 200);
        area->show();
        QCOMPARE(inner->verticalScrollBar()->sizeHint().width(), 8);
    }

    // ---- Text walk ----------------------------------------------------------

    void ampersands_are_literal() {
        const struct {
            const char* in;
            const char* out;
        } cases[] = {
            {"Kaydet & \xc3\x87\xc4\xb1k", "Kaydet && \xc3\x87\xc4\xb1k"},
            {"A && B", "A && B"},
            {"&Dosya", "&&Dosya"},
            {"&&&", "&&&&"},
            {"yok", "yok"},
        };
        for (const auto& c : cases)
            QCOMPARE(literal_ampersands(QString::fromUtf8(c.in)), QString::fromUtf8(c.out));
    }

    void text_walk_rules() {
        QMainWindow win;
        win.setWindowTitle(QString::fromUtf8("* Pano \u2014 Geli\u015ftiren: Biri"));
        auto* central = new QWidget(&win);
        auto* layout = new QVBoxLayout(central);
        win.setCentralWidget(central);
        auto label = [&](const char* text) {
            auto* l = new QLabel(QString::fromUtf8(text));
            layout->addWidget(l);
            return l;
        };
        QLabel* plain = label("* Durum");
        QLabel* rich = label("* <b>kal\xc4\xb1n</b>");
        QLabel* less = label("* 3 < 4");
        QLabel* blanks = label("   ");
        QLabel* failing = label("* fail");
        auto button = [&](const char* text) {
            auto* b = new QPushButton(QString::fromUtf8(text));
            layout->addWidget(b);
            return b;
        };
        QPushButton* changed = button("* Kaydet & \xc3\x87\xc4\xb1k");
        QPushButton* kept = button("&Kaydet");
        QPushButton* blank_button = button("   ");
        auto* tabs = new QTabWidget();
        tabs->addTab(new QWidget(), "Genel");
        tabs->addTab(new QWidget(), "* A & B");
        tabs->addTab(new QWidget(), "");
        layout->addWidget(tabs);
        auto* failing_tabs = new QTabWidget();
        failing_tabs->addTab(new QWidget(), "fail");
        failing_tabs->addTab(new QWidget(), "* later");
        layout->addWidget(failing_tabs);
        auto* list = new QListWidget();
        list->addItems({"* bir", "   ", "iki"});
        layout->addWidget(list);
        auto* footer_box = new QWidget();
        auto* nested = new QGridLayout(footer_box);
        QFrame* footer = named_frame("FooterBar", 0);
        QFrame* other_case = named_frame("footerbar", 0);
        QFrame* longer = named_frame("FooterBar2", 0);
        auto* footer_label = new QLabel("alt");
        footer_label->setObjectName("FooterCard");
        nested->addWidget(footer, 0, 0);
        nested->addWidget(other_case, 0, 1);
        nested->addWidget(longer, 1, 0);
        nested->addWidget(footer_label, 1, 1);
        layout->addWidget(footer_box);
        win.show();

        StubOps ops;
        sanitize_ui_tree(&win, ops);

        QCOMPARE(win.windowTitle(), QString("Pano"));
        QCOMPARE(plain->text(), QString("Durum"));
        QCOMPARE(rich->text(), QString::fromUtf8("* <b>kal\xc4\xb1n</b>"));
        QCOMPARE(less->text(), QString("* 3 < 4"));
        QCOMPARE(blanks->text(), QString(""));
        QCOMPARE(failing->text(), QString("* fail"));
        QCOMPARE(changed->text(), QString::fromUtf8("Kaydet && \xc3\x87\xc4\xb1k"));
        QCOMPARE(kept->text(), QString("&Kaydet"));
        QCOMPARE(blank_button->text(), QString("   "));
        QCOMPARE(tabs->tabText(0), QString("Genel"));
        QCOMPARE(tabs->tabText(1), QString("A && B"));
        QCOMPARE(tabs->tabText(2), QString(""));
        QCOMPARE(failing_tabs->tabText(1), QString("* later"));  // the widget's rest is left
        QCOMPARE(list->item(0)->text(), QString("bir"));
        QCOMPARE(list->item(1)->text(), QString(""));
        QCOMPARE(list->item(2)->text(), QString("iki"));
        QVERIFY(!footer->isVisible());
        QVERIFY(!footer_label->isVisible());
        QVERIFY(other_case->isVisible());
        QVERIFY(longer->isVisible());
        QVERIFY(ops.cleaned.contains(""));  // the empty tab title was cleaned too
    }

    void titles_without_credit_are_left_alone() {
        const struct {
            const char* title;
            const char* after;
        } cases[] = {
            {"* Pano \u2014 Biri", "* Pano \u2014 Biri"},
            {"* Pano - Geli\u015ftiren: Biri", "* Pano - Geli\u015ftiren: Biri"},
            {"\u2014 Geli\u015ftiren: Biri", ""},
            {"* Pano \u2014 Alt \u2014 Geli\u015ftiren: Biri", "Pano"},
            {"Pano \u2014 geli\u015ftiren: Biri", "Pano \u2014 geli\u015ftiren: Biri"},
        };
        for (const auto& c : cases) {
            QWidget win;
            win.setWindowTitle(QString::fromUtf8(c.title));
            StubOps ops;
            sanitize_ui_tree(&win, ops);
            QCOMPARE(win.windowTitle(), QString::fromUtf8(c.after));
        }
    }

    // ---- Screen-fit widget rules --------------------------------------------

    void labels_and_frames_are_relaxed() {
        SampleWindow win;
        auto wrapping = [&](int min_w, bool wrap, bool pixmap) {
            auto* l = new QLabel("metin");
            l->setWordWrap(wrap);
            l->setMinimumWidth(min_w);
            if (pixmap) {
                QPixmap p(4, 4);
                p.fill(Qt::red);
                l->setPixmap(p);
            }
            win.row->addWidget(l);
            return l;
        };
        QLabel* relaxed = wrapping(150, true, false);
        QLabel* with_pixmap = wrapping(150, true, true);
        QLabel* not_wrapping = wrapping(150, false, false);
        QLabel* at_limit = wrapping(120, true, false);
        QFrame* card = named_frame("Card", 500);
        QFrame* wide = named_frame("", 241);
        QFrame* at_240 = named_frame("", 240);
        QFrame* bounded = named_frame("", 300, 600);
        for (QFrame* f : {card, wide, at_240, bounded}) win.row->addWidget(f);

        relax_labels_and_frames(&win);

        // A label is a frame too: the frame rule follows the label rule.
        QCOMPARE(relaxed->minimumWidth(), 80);
        QCOMPARE(with_pixmap->minimumWidth(), 150);
        QCOMPARE(not_wrapping->minimumWidth(), 150);
        QCOMPARE(at_limit->minimumWidth(), 120);
        QCOMPARE(card->minimumWidth(), 0);
        QCOMPARE(wide->minimumWidth(), 140);
        QCOMPARE(at_240->minimumWidth(), 240);
        QCOMPARE(bounded->minimumWidth(), 300);
    }

    void sidebar_base_widths() {
        const struct {
            const char* name;
            int min_w, max_w;
            int base;  // 0: not a sidebar
        } cases[] = {
            {"Sidebar", 0, 16777215, 250}, {"NavList", 200, 16777215, 235},
            {"SidebarCard", 320, 320, 272}, {"SidebarCard", 140, 16777215, 235},
            {"", 230, 230, 235},           {"", 300, 300, 272},
            {"", 250, 250, 250},           {"", 229, 229, 0},
            {"", 301, 301, 0},             {"", 250, 16777215, 0},
            {"sidebar", 0, 16777215, 0},
        };
        for (const auto& c : cases) {
            const auto base = sidebar_base_width(c.name, c.min_w, c.max_w);
            QCOMPARE(base.value_or(0), c.base);
        }
    }

    void rules_record_sidebars_in_order() {
        SampleWindow win;
        QFrame* unnamed_250 = named_frame("", 250);   // reduced to 140 first: no sidebar
        QFrame* fixed_250 = named_frame("", 250, 250);
        QFrame* card = named_frame("SidebarCard", 320);
        auto* nav = new QListWidget();
        nav->setObjectName("NavList");
        for (QWidget* w : {static_cast<QWidget*>(unnamed_250), static_cast<QWidget*>(fixed_250),
                           static_cast<QWidget*>(card), static_cast<QWidget*>(nav)})
            win.row->addWidget(w);
        std::vector<SidebarRecord> sidebars;
        QVERIFY(apply_widget_rules(&win, sidebars));
        QCOMPARE(sidebars.size(), size_t(3));
        QCOMPARE(sidebars[0].widget.data(), fixed_250);
        QCOMPARE(sidebars[0].base_width, 250);
        QCOMPARE(sidebars[1].widget.data(), card);
        QCOMPARE(sidebars[1].base_width, 235);
        QCOMPARE(sidebars[2].widget.data(), nav);
        QCOMPARE(sidebars[2].base_width, 250);
        QCOMPARE(unnamed_250->minimumWidth(), 140);
    }

    void tall_sidebar_in_a_row_gets_a_scroll_area() {
        SampleWindow win;
        win.row->addWidget(new QLabel("sol"));
        auto* sidebar = new TallFrame(381);
        sidebar->setObjectName("Sidebar");
        sidebar->setFixedWidth(260);
        win.row->addWidget(sidebar);
        win.row->addWidget(new QLabel("sag"));
        std::vector<SidebarRecord> sidebars;
        QVERIFY(apply_widget_rules(&win, sidebars));
        QCOMPARE(sidebars.size(), size_t(1));
        auto* area = qobject_cast<QScrollArea*>(sidebars[0].widget.data());
        QVERIFY(area);
        QCOMPARE(sidebars[0].base_width, 260);
        QCOMPARE(area->objectName(), QString("SidebarScroll"));
        QCOMPARE(win.row->indexOf(area), 1);
        QCOMPARE(area->widget(), sidebar);
        QCOMPARE(area->minimumWidth(), 260);
        QCOMPARE(area->maximumWidth(), 260);
        QCOMPARE(area->minimumHeight(), 180);
        QCOMPARE(area->frameShape(), QFrame::NoFrame);
        QCOMPARE(area->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(area->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        QVERIFY(area->widgetResizable());
        QVERIFY(area->styleSheet().startsWith("QScrollArea#SidebarScroll {"));
        QCOMPARE(sidebar->minimumWidth(), 0);
        QCOMPARE(sidebar->maximumWidth(), 16777215);
    }

    void tall_sidebar_elsewhere_stays() {
        for (int kind = 0; kind < 3; ++kind) {
            SampleWindow win;
            auto* holder = new QWidget();
            auto* sidebar = new TallFrame(kind == 2 ? 380 : 400);
            sidebar->setObjectName("Sidebar");
            if (kind == 0) {
                (new QVBoxLayout(holder))->addWidget(sidebar);
            } else if (kind == 1) {
                (new QGridLayout(holder))->addWidget(sidebar, 0, 0);
            } else {
                (new QHBoxLayout(holder))->addWidget(sidebar);  // not tall: 380
            }
            win.row->addWidget(holder);
            std::vector<SidebarRecord> sidebars;
            QVERIFY(apply_widget_rules(&win, sidebars));
            QCOMPARE(sidebars.size(), size_t(1));
            QCOMPARE(sidebars[0].widget.data(), sidebar);
            QCOMPARE(sidebar->parentWidget(), holder);
        }
    }

    void window_without_central_widget_accessor_fails_after_two_rules() {
        QWidget win;
        auto* layout = new QHBoxLayout(&win);
        QFrame* card = named_frame("Card", 500);
        QFrame* fixed = named_frame("", 250, 250);
        layout->addWidget(card);
        layout->addWidget(fixed);
        std::vector<SidebarRecord> sidebars;
        QVERIFY(!apply_widget_rules(&win, sidebars));
        QCOMPARE(card->minimumWidth(), 0);
        QVERIFY(sidebars.empty());
    }

    void stacks_tabs_and_splitters_are_relaxed() {
        SampleWindow win;
        auto* stack = new QStackedWidget();
        auto* page = new QWidget();
        page->setMinimumSize(600, 500);
        stack->addWidget(page);
        auto* empty_tabs = new QTabWidget();
        empty_tabs->setUsesScrollButtons(false);
        auto* tabs = new QTabWidget();
        auto* tab_page = new QWidget();
        tab_page->setMinimumSize(700, 300);
        tabs->addTab(tab_page, "a");
        auto* vertical = new QSplitter(Qt::Vertical);
        auto* big = new TallFrame(300);
        big->setMinimumSize(230, 120);
        auto* editor = new QTextEdit();
        editor->setMinimumSize(230, 200);
        vertical->addWidget(big);
        vertical->addWidget(editor);
        auto* horizontal = new QSplitter(Qt::Horizontal);
        auto* left = new QWidget();
        left->setMinimumSize(150, 50);
        horizontal->addWidget(left);
        horizontal->addWidget(new QWidget());
        for (QWidget* w : {static_cast<QWidget*>(stack), static_cast<QWidget*>(empty_tabs),
                           static_cast<QWidget*>(tabs), static_cast<QWidget*>(vertical),
                           static_cast<QWidget*>(horizontal)})
            win.row->addWidget(w);
        std::vector<SidebarRecord> sidebars;
        QVERIFY(apply_widget_rules(&win, sidebars));

        QCOMPARE(stack->minimumSize(), QSize(320, 180));
        QCOMPARE(page->minimumSize(), QSize(0, 0));
        QCOMPARE(empty_tabs->minimumSize(), QSize(360, 200));
        QVERIFY(empty_tabs->usesScrollButtons());
        QCOMPARE(tab_page->minimumSize(), QSize(0, 0));
        QCOMPARE(vertical->minimumSize(), QSize(320, 180));
        QVERIFY(!vertical->childrenCollapsible());
        QCOMPARE(big->minimumSize(), QSize(200, 85));
        QCOMPARE(big->sizePolicy().horizontalPolicy(), QSizePolicy::Ignored);
        QCOMPARE(big->sizePolicy().verticalPolicy(), QSizePolicy::Ignored);
        QCOMPARE(editor->minimumSize(), QSize(200, 85));
        QCOMPARE(editor->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(vertical->sizes().size(), 2);
        win.resize(1400, 800);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        const QList<int> sizes = vertical->sizes();
        QVERIFY2(sizes[0] > 3 * sizes[1], "stretch 4 : 1");
        QCOMPARE(left->minimumSize(), QSize(150, 50));
        QCOMPARE(horizontal->minimumSize(), QSize(320, 180));
        QVERIFY(sidebars.empty());
    }

    // ---- Responsive widths and screen synchronisation ---------------------

    void responsive_width_table() {
        const struct {
            int base, cur, width;
        } cases[] = {
            {235, 1159, 195}, {236, 1000, 195}, {237, 0, 195},   {250, 1159, 208},
            {272, 800, 230},  {235, 1160, 235}, {250, 1160, 250}, {272, 3000, 272},
        };
        for (const auto& c : cases) QCOMPARE(responsive_width(c.base, c.cur), c.width);
    }

    void widths_follow_the_name_and_the_window() {
        QWidget win;
        auto* card = new QFrame(&win);
        card->setObjectName("SidebarCard");
        auto* other = new QFrame(&win);
        auto* button = new QPushButton(&win);
        QPointer<QFrame> gone = new QFrame(&win);
        ScreenFit fit(&win, {{card, 250}, {gone.data(), 250}, {other, 250}});
        fit.dense_buttons().push_back({button, "color: red"});
        delete gone.data();

        fit.apply_responsive_widths(1200);
        QCOMPARE(card->minimumWidth(), 250);
        QCOMPARE(card->maximumWidth(), 310);
        QCOMPARE(other->minimumWidth(), 250);
        QCOMPARE(other->maximumWidth(), 250);
        QCOMPARE(button->styleSheet(), QString("color: red; padding-left: 4px; padding-right: "
                                               "4px; font-size: 10px;"));
        fit.apply_responsive_widths(1000);
        QCOMPARE(card->minimumWidth(), 208);
        QCOMPARE(card->maximumWidth(), 268);
        QCOMPARE(other->width(), 208);
        QCOMPARE(other->maximumWidth(), 208);
        fit.apply_responsive_widths(1280);
        QCOMPARE(button->styleSheet(), QString("color: red"));
    }

    void resize_applies_widths_before_the_windows_own_handling() {
        SampleWindow win;
        auto* sidebar = named_frame("", 250, 250);
        win.row->addWidget(sidebar);
        win.watched = sidebar;
        std::vector<SidebarRecord> sidebars;
        QVERIFY(apply_widget_rules(&win, sidebars));
        auto* fit = new ScreenFit(&win, std::move(sidebars));
        fit->set_available_area([] { return std::optional<QRect>(QRect(0, 0, 800, 600)); });
        fit->install();
        win.resize(1000, 500);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        QCOMPARE(sidebar->maximumWidth(), 208);
        win.resize(1300, 500);
        QTRY_COMPARE_WITH_TIMEOUT(sidebar->maximumWidth(), 250, kEventWaitMs);
        QVERIFY(!win.widths_seen.isEmpty());
        // The window's own handler saw the new constraint already applied.
        QCOMPARE(win.widths_seen.last(), 250);
    }

    void initial_fit_and_screen_sync() {
        const struct {
            QRect avail;
            bool no_max_property;
            bool acted;
        } cases[] = {
            {QRect(0, 0, 1024, 680), false, true},  {QRect(10, 20, 1600, 900), false, true},
            {QRect(0, 0, 1023, 900), false, false}, {QRect(0, 0, 1600, 679), false, false},
            {QRect(0, 0, 1600, 900), true, false},
        };
        for (const auto& c : cases) {
            QWidget win;
            auto* sidebar = new QFrame(&win);
            win.setGeometry(50, 60, 700, 400);
            if (c.no_max_property) win.setProperty("vyr_no_auto_maximize", true);
            ScreenFit fit(&win, {{sidebar, 250}});
            const QRect avail = c.avail;
            fit.set_available_area([avail] { return std::optional<QRect>(avail); });
            fit.initial_fit();
            // Widths are applied whatever the screen (700 px: compact).
            QCOMPARE(sidebar->maximumWidth(), 208);
            QCOMPARE(win.isMaximized(), c.acted);
            if (!c.acted) QCOMPARE(win.geometry(), QRect(50, 60, 700, 400));
        }
    }

    void screen_change_rules() {
        const struct {
            QRect avail;
            QRect start;
            bool maximized;
            QVariant property;
            bool widths;
            bool refit;
        } cases[] = {
            // Small screens: nothing at all, not even the widths.
            {QRect(0, 0, 1023, 900), QRect(0, 0, 2000, 1000), false, {}, false, false},
            // Oversized or maximised windows are pulled onto the available area.
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, {}, true, true},
            {QRect(0, 0, 1600, 900), QRect(0, 0, 800, 950), false, {}, true, true},
            {QRect(0, 0, 1600, 900), QRect(0, 0, 800, 600), true, {}, true, true},
            // A normal window partly off the area stays.
            {QRect(0, 0, 1600, 900), QRect(1200, 700, 800, 600), false, {}, true, false},
            // The property stops the geometry change, not the widths.
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, QVariant(true), true, false},
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, QVariant(1), true, false},
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, QVariant("evet"), true,
             false},
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, QVariant(false), true, true},
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, QVariant(0), true, true},
            {QRect(0, 0, 1024, 680), QRect(0, 0, 1200, 600), false, QVariant(""), true, true},
        };
        for (const auto& c : cases) {
            QWidget win;
            auto* sidebar = new QFrame(&win);
            win.setGeometry(c.start);
            if (c.maximized) win.setWindowState(Qt::WindowMaximized);
            if (c.property.isValid()) win.setProperty("vyr_no_auto_maximize", c.property);
            ScreenFit fit(&win, {{sidebar, 272}});
            const QRect avail = c.avail;
            fit.set_available_area([avail] { return std::optional<QRect>(avail); });
            fit.sync_to_screen();
            QCOMPARE(sidebar->maximumWidth() != 16777215, c.widths);
            QCOMPARE(win.geometry() == c.avail, c.refit);
        }
    }

    void zero_width_window_uses_the_available_width() {
        QWidget win;
        auto* sidebar = new QFrame(&win);
        win.resize(0, 0);
        win.setWindowState(Qt::WindowMaximized);
        ScreenFit fit(&win, {{sidebar, 250}});
        fit.set_available_area([] { return std::optional<QRect>(QRect(0, 0, 1300, 800)); });
        QCOMPARE(win.width(), 0);
        fit.sync_to_screen();
        QCOMPARE(sidebar->maximumWidth(), 250);  // 1300 wide: not compact
    }

    void install_runs_the_first_fit_once_from_the_event_loop() {
        QWidget win;
        auto* sidebar = new QFrame(&win);
        win.resize(900, 500);
        auto* fit = new ScreenFit(&win, {{sidebar, 250}});
        int asked = 0;
        fit->set_available_area([&asked] {
            ++asked;
            return std::optional<QRect>(QRect(0, 0, 1200, 800));
        });
        fit->install();
        QCOMPARE(sidebar->maximumWidth(), 16777215);  // nothing before the loop runs
        QTRY_VERIFY_WITH_TIMEOUT(win.isMaximized(), kEventWaitMs);
        QCOMPARE(asked, 1);
        QCOMPARE(fit->parent(), &win);
        // The real screens are connected: a screen signal runs the sync.
        QScreen* screen = QGuiApplication::primaryScreen();
        QVERIFY(screen);
        emit screen->logicalDotsPerInchChanged(96.0);
        QCOMPARE(asked, 2);
    }

    // ---- Fonts, icon, application id ----------------------------------------

    void folders_icons_and_fonts() {
        QTemporaryDir a, b, c;
        auto touch = [](const QString& path, const QByteArray& data = "x") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        QCOMPARE(search_folders({"", a.path(), a.path(), a.path() + "/missing", b.path()}),
                 (QStringList{a.path(), b.path()}));

        // Scan order and the family's names.
        touch(a.path() + "/b_icon.png");
        touch(a.path() + "/a_icon.ico");
        touch(b.path() + "/icon.ico");
        touch(b.path() + "/icon.png");
        bool failed = true;
        QCOMPARE(find_icon_path({a.path(), b.path()}, &failed), a.path() + "/a_icon.ico");
        QVERIFY(!failed);
        QCOMPARE(find_icon_path({b.path(), a.path()}, &failed), b.path() + "/icon.ico");
        touch(c.path() + "/vyr-linux-monitor_icon.ico");
        touch(c.path() + "/vyr_icon.png");
        QCOMPARE(find_icon_path({c.path()}, &failed), c.path() + "/vyr-linux-monitor_icon.ico");
        QCOMPARE(find_icon_path({a.path() + "/missing", b.path()}, &failed), std::nullopt);
        QVERIFY(failed);

        // A file Qt cannot read gives a null icon: nothing is set.
        QWidget win;
        QVERIFY(!apply_icon(&win, a.path() + "/b_icon.png"));
        QVERIFY(!apply_icon(&win, a.path() + "/a_icon.ico"));
        QVERIFY(!apply_icon(&win, a.path()));
        QVERIFY(win.windowIcon().isNull());
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(Qt::blue);
        QVERIFY(image.save(c.path() + "/real_icon.png"));
        QVERIFY(apply_icon(&win, c.path() + "/real_icon.png"));
        QVERIFY(!win.windowIcon().isNull());
        QVERIFY(!QApplication::windowIcon().isNull());

        QVERIFY(register_fonts({a.path(), b.path()}).isEmpty());
        const QString roboto = "/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Bold.ttf";
        if (QFile::exists(roboto)) {
            QVERIFY(QFile::copy(roboto, a.path() + "/Roboto-Bold.ttf"));
            QVERIFY(QFile::copy(roboto, b.path() + "/Roboto-Bold.ttf"));
            QCOMPARE(register_fonts({a.path(), b.path()}),
                     (QStringList{a.path() + "/Roboto-Bold.ttf", b.path() + "/Roboto-Bold.ttf"}));
        }

        QCOMPARE(app_user_model_id("MONITOR"), QString("Korvane.Vyr.MONITOR"));
        QCOMPARE(app_user_model_id(""), QString("Korvane.Vyr.App"));
#ifndef _WIN32
        QVERIFY(!set_app_user_model_id("Korvane.Vyr.MONITOR"));
#endif
    }

    void marker_and_property_truth() {
        QWidget win;
        QVERIFY(!guard_attached(&win));
        mark_guard_attached(&win);
        QVERIFY(guard_attached(&win));
        QCOMPARE(win.property("_vyr_res_guard_attached"), QVariant(true));
        const struct {
            QVariant value;
            bool set;
        } cases[] = {{QVariant(), false},   {QVariant(true), true}, {QVariant(false), false},
                     {QVariant(2), true},   {QVariant(0), false},   {QVariant(0.0), false},
                     {QVariant("x"), true}, {QVariant(""), false},  {QVariant(QStringList()), false}};
        for (const auto& c : cases) {
            QWidget w;
            w.setProperty("vyr_no_auto_maximize", c.value);
            QCOMPARE(property_is_set(&w, "vyr_no_auto_maximize"), c.set);
        }
    }
};

QTEST_MAIN(WidgetsTest)
#include "widgets_test.moc"

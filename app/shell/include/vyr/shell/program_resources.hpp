// What the program folder carries for the views besides the icons: the fonts
// that their style names, and Qt's own texts (standard buttons, the line
// edit's menu) in Turkish, the language of the rest of the program.
#pragma once

#include <string>

#include <QIcon>
#include <QStringList>

namespace vyr::shell {

// The font files kept in the assets folder.
inline constexpr const char* kProgramFonts[] = {"Roboto-Bold.ttf", "Inter-Bold.otf"};

// Registers the program's fonts found in `assets_dir` with Qt; returns the
// families registered. A missing or unreadable file is skipped.
QStringList register_program_fonts(const std::string& assets_dir);

// Installs Qt's Turkish translation on the application: the program
// folder's copy (translations/ beside the assets folder), else the one in
// Qt's own translations folder. Returns the file loaded, empty when none.
QString install_qt_translation(const std::string& assets_dir);

// The icon in the image file at `path`, as QIcon(path) makes it: every image
// of the file (of an .ico file each size once, in its best depth). An .ico
// file's PNG images are decoded by Qt's own PNG reader alone: asked for a PNG,
// Qt first loads every image-format plugin installed (and keeps them and the
// libraries they need for the rest of the process) to ask whether one of them
// reads it instead.
QIcon read_icon(const QString& path);

}  // namespace vyr::shell

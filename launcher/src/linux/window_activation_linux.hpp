// Finding and raising a top-level X11 window by its title.
#pragma once

#include <cstddef>
#include <string_view>

namespace vyr::launcher::linux_layer {

// Only this many characters of a window title take part in the search.
inline constexpr std::size_t kTitleCharacters = 510;

// True when the first kTitleCharacters characters of the UTF-8 `title` contain `wanted`.
// An empty title never matches.
bool title_matches(std::string_view title, std::string_view wanted);

// Looks through the windows the window manager shows or holds minimised, top of the stack
// first, and restores, raises and activates the first whose title matches. Uses libX11 when
// it can be loaded; without a display or a window manager nothing is found. Returns true
// when a window was found.
bool activate_window_titled(const char* utf8_title);

}  // namespace vyr::launcher::linux_layer

// File steps of the settings store that must not lose the user's file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vyr::engine::files {

// The longest settings file that is read: 1 MiB. The file holds a few hundred
// bytes; a longer one (a file that never ends, such as one of /proc linked in
// its place, or some other large file) is not read to its end but counts as
// unreadable, so it can neither stall the start nor fill the memory.
constexpr std::size_t kSettingsFileLimit = std::size_t{1} << 20;

// Replaces the file at `path` with `content`: the bytes go to a new file in
// the same folder, are flushed to the disk, and the new file is renamed over
// the old one, so a crash leaves either the old or the new file, never a
// truncated one. An existing file's permission bits are kept. A link at
// `path` stays: the file it leads to is replaced, or created when it is not
// there yet; a link that leads to something other than a regular file (a
// device, a FIFO) is never written through (EINVAL). Where no new file can be
// made in the folder, the text is written over the file itself, which is cut
// to its new length only after.
// Returns 0 or the errno of the failed step (the old file is then untouched,
// except after a failed write over the file itself).
int replace_atomically(const std::string& path, std::string_view content);

// Reads the whole file at `path` (a link is followed) into `content`, when it
// is a regular file of at most `limit` bytes. Never waits: a FIFO, a device, a
// socket or a folder is not read, and counts as unreadable (EINVAL). A file
// with more than `limit` bytes is read no further than that and counts as
// unreadable too (EFBIG); its size is not asked of the system beforehand,
// since the files of /proc report 0. Returns 0 or an errno.
int read_regular_file(const std::string& path, std::string& content, std::size_t limit = kSettingsFileLimit);

// Moves the file at `path` aside to `backup` (replacing an older backup).
// Something that holds no content of its own (a FIFO, a device, a socket, a
// folder, or a link to one of them) never takes the place of a backup that is
// there already: that is EEXIST, and `path` stays where it is. A link to a
// regular file stays too: `backup` becomes a copy of that file's content,
// which can be made only of a file of at most kSettingsFileLimit bytes (EFBIG).
// Returns 0, also when there is no file at `path`, or the errno of the failure.
int keep_as_backup(const std::string& path, const std::string& backup);

}  // namespace vyr::engine::files

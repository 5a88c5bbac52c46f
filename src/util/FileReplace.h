// Whole-file writes that a crash, a full disk or a pulled cable cannot leave half done.
//
// ReplaceFileContent writes the new bytes into a temporary file of a unique name in the target's
// own folder (so the rename never crosses file systems), flushes and syncs it, gives it the
// permissions of the file it replaces (a new file gets rw-rw-rw- less the umask), and renames it
// over the target in one step. Whatever fails, the temporary file is removed and the old target
// stays exactly as it was: a reader sees either the old content or the new, never a mixture.
// A target that is a symbolic link is followed: the file it points to is replaced and the link
// stays. A target that is a device or a FIFO (/dev/null, /dev/stdout) is written in place, as a
// rename would replace the device itself; a folder is refused with EISDIR.
#pragma once

#include <string>
#include <string_view>

namespace vornik {

/// Replaces FileName's content with Bytes (see above). Returns 0 on success, otherwise the
/// errno of the step that failed.
int ReplaceFileContent(const std::string& FileName, std::string_view Bytes);

/// Whether ReplaceFileContent could write FileName now, without touching it: a device or FIFO
/// must be writable, otherwise a temporary file is made and removed in the target's folder.
/// Returns 0 when it could, otherwise the errno that stops it.
int CheckFileReplaceable(const std::string& FileName);

}  // namespace vornik

#pragma once

#include <string>

struct sqlite3;

namespace caskel {

// Whole-file copies of an SQLite database through its online backup API, so a copy taken while
// the database is in use is consistent, and files that only ever appear complete and private.
namespace database_copy {

enum class Result {
  ok,
  exists,       // the target is there and replacing it was not asked for
  symlink,      // the target (or the source) is a symbolic link, which is never followed
  notRegular,   // the target (or the source) is a directory, a device, a FIFO...
  notWritable,  // the target's directory cannot be written
  missing,      // the source does not exist
  notDatabase,  // the source is not an SQLite database
  ioError,
};

// Whether a file may be written at `target` (absolute): its directory can be written, and
// nothing is there, or, when `replace`, a regular file is.
Result checkTarget(const std::string& target, bool replace);

// A new empty file, mode 0600, beside `sibling` (a hidden name in the same directory, so a
// rename onto it is atomic); its path, or "" when none could be made.
std::string makePrivateSibling(const std::string& sibling);

// Copies the open database `from` into the file at `to` (empty or a database), leaving it in
// rollback-journal mode so that it opens anywhere, read-only too, without side files.
Result copy(sqlite3* from, const std::string& to);
// The same from a database file, opened read-only and never through a symbolic link.
Result copyFile(const std::string& from, const std::string& to);

// Moves the finished file `temp` to `target`: atomically replacing a regular file when
// `replace`, else only when nothing is there (never a race with a file created meanwhile).
// `temp` is gone afterwards either way.
Result publish(const std::string& temp, const std::string& target, bool replace);

}  // namespace database_copy
}  // namespace caskel

// Output paths and the rules about what stands at them, as plain functions
// that every build compiles (and the tests run on Linux).
#pragma once

#include <cstddef>

// How a folder and a file name are joined.
enum class PathStyle {
  Posix,    // '/' between them
  Windows,  // '\' between them; a bare drive ("D:") stands for that drive's current folder
};

// The platform's own style (platform_linux.cpp, platform_win.cpp).
extern const PathStyle NativePathStyle;

// Joins folder dir (null or "": the current folder) and name into path
// (size bytes, always terminated). A folder that already ends in a separator
// gets none added. False when the result does not fit.
bool JoinPath(const char* dir, const char* name, PathStyle style, char* path, size_t size);

// Windows paths of at least this many characters only work in the
// extended-length form (\\?\): MAX_PATH counts the terminator.
constexpr size_t PlainPathLimit = 260;

// The extended-length form of a full Windows path (as GetFullPathNameW gives
// it): "C:\x" becomes "\\?\C:\x", "\\server\share\x" becomes
// "\\?\UNC\server\share\x", a path already in a device or extended form is
// kept. False when the result does not fit size characters.
bool ExtendedLengthPath(const wchar_t* full, wchar_t* out, size_t size);

// The path to give the system for a file whose full path (as
// GetFullPathNameW makes it from what the user typed) is full: full itself
// while it is shorter than PlainPathLimit, else its extended-length form. The
// full path decides, since a relative path counts with the folder it stands
// in. False when the result does not fit size characters.
bool SystemPath(const wchar_t* full, wchar_t* out, size_t size);

// Whether a Windows reparse point with this tag makes its name stand for
// another file or folder (a name surrogate: symbolic links, junctions, mount
// points), so that writing through it would change somebody else's file.
// Other reparse points (deduplicated, compressed, cloud files) are ordinary
// files to the user.
bool RefusedReparseTag(unsigned long tag);

#pragma once
// The settings helpers: where the settings and info files are, the window geometry kept in the
// settings file, and the one conditional integer write. Plain C++, so the command-line tool can
// share the settings without the window toolkit.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/profile_file.h"

// The running program's file, as the system names it (/proc/self/exe).
[[nodiscard]] std::filesystem::path ProgramFile();

// `programFile` with its extension replaced by `extension`; a "." is put in front of an extension
// that does not begin with one ("txt" and ".txt" both give /opt/orvane/orvane.txt for
// /opt/orvane/orvane). A program file without extension gets the extension added.
[[nodiscard]] std::string FileBesideProgram(const std::filesystem::path& programFile,
                                            std::string_view extension);
[[nodiscard]] std::string FileBesideProgram(std::string_view extension);

// Where a document shipped with the program (the info text, the user guide) lies: `name` in the
// installation's document folder (share/doc/orvane, reached from the program's folder) when that
// folder exists, else `name` beside the program, as in the build folder. The file itself need
// not exist: a missing one is then named where it was looked for.
[[nodiscard]] std::filesystem::path ProgramDocument(const std::filesystem::path& programFile,
                                                    std::string_view name);

// The bare settings file name: the program file's name without its folder, extension ".ini".
[[nodiscard]] std::string SettingsFileName(const std::filesystem::path& programFile);
[[nodiscard]] std::string SettingsFileName();

// The folder settings live in (UserConfigFolder), empty when none is known. Not created here;
// the first settings write creates it.
[[nodiscard]] std::filesystem::path ConfigurationFolder();

// The settings file of `programFile`, opened in the configuration folder.
[[nodiscard]] ProfileFile OpenSettingsFile(const std::filesystem::path& programFile);

// The key that remembers `tree`'s container in section "Context": the tree's name itself, unless
// the file could not hold it as a key or would read it back as another (it holds '=', '%', '[',
// ']', a line break, or begins or ends with a blank); then each of those bytes, and each blank,
// is written as '%' and two upper-case hex digits ("A=B" gives "A%3DB").
[[nodiscard]] std::string TreeSettingsKey(std::string_view tree);

// Writes `value` only when the key, read as an integer with default 0, holds something else.
// Throws SettingsWriteError as ProfileFile::WriteInteger does.
void WriteIntegerIfChanged(ProfileFile& file, std::string_view section, std::string_view key,
                           int32_t value);

// A window as the geometry helpers see it: its component name, its position (the top-left corner
// of its frame) and its size (without the frame), as the settings keep them.
class FormGeometry {
 public:
  virtual ~FormGeometry() = default;
  [[nodiscard]] virtual std::string ComponentName() const = 0;
  // True when the window places itself (centred, or left to the window manager) rather than at
  // its designed position.
  [[nodiscard]] virtual bool PlacesItself() const = 0;
  [[nodiscard]] virtual int Top() const = 0;
  [[nodiscard]] virtual int Left() const = 0;
  [[nodiscard]] virtual int Width() const = 0;
  [[nodiscard]] virtual int Height() const = 0;
  virtual void SetTop(int value) = 0;
  virtual void SetLeft(int value) = 0;
  virtual void SetWidth(int value) = 0;
  virtual void SetHeight(int value) = 0;
};

// Stores top, left, width and height (in that order) as <name>.Top, .Left, .Width, .Height in
// `section` (empty = the window's component name), each only when it changed. Any failure is
// swallowed and ends the save: geometry is never worth an error at close.
void SaveFormGeometry(ProfileFile& file, std::string_view section, const FormGeometry& window);

// Applies the stored width, height, left and top (in that order) to the window. A missing, zero
// or non-numeric width or height leaves that property as it is. Left and top are applied when
// they are numbers other than 0, and also when they are 0 or missing beside a stored width and
// height: a saved geometry then puts a window closed at the screen's edge back there (the save
// writes only changes, so a key never written while the window stood at 0 stays missing). A
// non-numeric left or top is ignored. Does nothing for a window that places itself. Failures are
// swallowed.
void RestoreFormGeometry(const ProfileFile& file, std::string_view section, FormGeometry& window);

// A rectangle in screen pixels: its top-left corner and its size.
struct ScreenRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

// `window` moved, and first shrunk to `screen`'s width or height where it is wider or taller, so
// that it lies inside `screen`; unchanged when it does already. A width or height below 1 counts
// as 1, and so does an empty screen's; any int values are accepted without overflow.
[[nodiscard]] ScreenRect FitOnScreen(ScreenRect window, ScreenRect screen);

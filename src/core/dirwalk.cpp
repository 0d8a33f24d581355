#include "core/dirwalk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace tools {

namespace {

// The kernel refuses to resolve a path of PATH_MAX bytes or more, so a stat
// through such a joined path fails even where the entry itself is fine.
constexpr std::size_t kPathMax = PATH_MAX;

// Lets other threads run while we wait on the file system.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

class Directory {
 public:
  explicit Directory(const std::string& path) : dir_(opendir(path.c_str())), error_(dir_ ? 0 : errno) {}
  ~Directory() {
    if (dir_ != nullptr) closedir(dir_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  int error() const { return error_; }
  int fd() const { return dirfd(dir_); }

  // The next entry other than "." and "..", or nullptr at the end or on a
  // read error (then error() is set).
  const dirent* next() {
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir_);
      if (entry == nullptr) {
        error_ = errno;
        return nullptr;
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      return entry;
    }
  }

 private:
  DIR* dir_;
  int error_;
};

bool stat_in(int dir_fd, const char* name, std::size_t joined_length, int flags, struct stat* result) {
  return joined_length < kPathMax && fstatat(dir_fd, name, result, flags) == 0;
}

PyObject* decode_path(void* path) noexcept {
  const std::string& text = *static_cast<const std::string*>(path);
  return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The entries of one listed folder, as os.walk sorts them.
struct WalkLevel {
  int error = 0;
  Py_ssize_t folders = 0;
  Py_ssize_t others = 0;
  std::vector<std::string> to_enter;  // folders that are not links, in listing order
};

// posixpath.join(folder, name) for a name from a listing.
std::string join(const std::string& folder, const char* name) {
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

WalkLevel list_level(const std::string& folder) {
  WalkLevel level;
  Directory directory(folder);
  if ((level.error = directory.error()) != 0) return level;
  const std::size_t prefix = folder.size() + (folder.back() == '/' ? 0 : 1);
  struct stat info;
  while (const dirent* entry = directory.next()) {
    const char* name = entry->d_name;
    const std::size_t joined_length = prefix + std::strlen(name);
    bool is_folder = false;
    bool enter = false;
    switch (entry->d_type) {
      case DT_DIR:
        is_folder = enter = true;
        break;
      case DT_LNK:  // a link to a folder is listed as a folder but not entered
        is_folder = stat_in(directory.fd(), name, joined_length, 0, &info) && S_ISDIR(info.st_mode);
        break;
      case DT_UNKNOWN:
        is_folder = stat_in(directory.fd(), name, joined_length, 0, &info) && S_ISDIR(info.st_mode);
        enter = is_folder &&
                !(stat_in(directory.fd(), name, joined_length, AT_SYMLINK_NOFOLLOW, &info) && S_ISLNK(info.st_mode));
        break;
      default:
        break;
    }
    if (!is_folder) {
      ++level.others;
      continue;
    }
    ++level.folders;
    if (enter) level.to_enter.push_back(join(folder, name));
  }
  // A folder whose listing breaks off is skipped as a whole, like one that
  // cannot be opened.
  level.error = directory.error();
  return level;
}

}  // namespace

ListingCount count_listing(const std::string& folder, bool files, bool folders) {
  ListingCount result;
  WithoutInterpreterLock unlocked;
  Directory directory(folder);
  if ((result.error = directory.error()) != 0) return result;
  // `Path(folder) / name` as text: "." joins to the bare name, "/" adds none.
  const std::size_t prefix = folder == "." ? 0 : folder.size() + (folder.back() == '/' ? 0 : 1);
  struct stat info;
  // Stat through the folder needs search permission on it; without it every
  // isfile/isdir test of its entries fails.
  const bool searchable = fstatat(directory.fd(), ".", &info, 0) == 0;
  while (const dirent* entry = directory.next()) {
    if (!searchable || !(files || folders)) continue;
    const char* name = entry->d_name;
    const std::size_t joined_length = prefix + std::strlen(name);
    if (joined_length >= kPathMax) continue;
    bool is_file = false;
    bool is_folder = false;
    switch (entry->d_type) {
      case DT_REG:
        is_file = true;
        break;
      case DT_DIR:
        is_folder = true;
        break;
      case DT_LNK:
      case DT_UNKNOWN:
        if (stat_in(directory.fd(), name, joined_length, 0, &info)) {
          is_file = S_ISREG(info.st_mode);
          is_folder = S_ISDIR(info.st_mode);
        }
        break;
      default:
        break;
    }
    result.found += (files && is_file) || (folders && is_folder);
  }
  if ((result.error = directory.error()) != 0) result.found = 0;
  return result;
}

namespace {

// Stands in the interpreter's recursion count where os.walk's own recursion
// stands (see walk_start_depth), so that the walk ends in RecursionError
// where that one does.
class WalkRecursion {
 public:
  WalkRecursion() = default;
  ~WalkRecursion() { hold(0); }
  WalkRecursion(const WalkRecursion&) = delete;
  WalkRecursion& operator=(const WalkRecursion&) = delete;

  void hold(std::size_t depth) {
    for (; held_ > depth; --held_) Py_LeaveRecursiveCall();
    for (; held_ < depth; ++held_) {
      if (Py_EnterRecursiveCall(" while calling a Python object")) throw_python_error();
    }
  }

 private:
  std::size_t held_ = 0;
};

struct PendingFolder {
  std::string path;
  std::size_t level;
};

}  // namespace

Py_ssize_t count_walk(const std::string& top, bool files, bool folders) {
  Py_ssize_t found = 0;
  WalkRecursion recursion;
  recursion.hold(walk_start_depth());
  std::vector<PendingFolder> stack;
  stack.push_back({top, 0});
  while (!stack.empty()) {
    const PendingFolder pending = std::move(stack.back());
    const std::string& folder = pending.path;
    stack.pop_back();
    recursion.hold(pending.level == 0 ? 0 : walk_depth_after(pending.level - 1));
    if (PySys_Audit("os.scandir", "O&", decode_path, const_cast<std::string*>(&folder)) < 0) throw_python_error();
    if (PyErr_CheckSignals() < 0) throw_python_error();
    WalkLevel level;
    {
      WithoutInterpreterLock unlocked;
      level = list_level(folder);
    }
    if (level.error != 0) continue;
    if (files) found += level.others;
    if (folders) found += level.folders;
    // Where it recurses, os.walk goes one level deeper for each sub-folder
    // name, a link included, to join it to the folder's path.
    if (level.folders > 0) recursion.hold(walk_depth_after(pending.level));
    // Entered first-listed first, as the walk does.
    for (auto inner = level.to_enter.rbegin(); inner != level.to_enter.rend(); ++inner) {
      stack.push_back({std::move(*inner), pending.level + 1});
    }
  }
  return found;
}

}  // namespace tools

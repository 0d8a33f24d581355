#include "core/native_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/cpython_internals.hpp"

namespace tools {

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC;

// A system call repeated while a signal interrupts it, with the signal's
// handlers run in between; the interpreter's lock is released for the call.
template <class SystemCall>
auto retried(SystemCall&& system_call) {
  for (;;) {
    decltype(system_call()) result;
    int error;
    Py_BEGIN_ALLOW_THREADS;
    result = system_call();
    error = errno;
    Py_END_ALLOW_THREADS;
    if (result >= 0 || error != EINTR) {
      errno = error;
      return result;
    }
    if (PyErr_CheckSignals() < 0) throw_python_error();
  }
}

[[noreturn]] void raise_errno(int error, Handle filename = Handle()) {
  errno = error;
  if (filename.is_null()) {
    PyErr_SetFromErrno(PyExc_OSError);
  } else {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
  }
  throw_python_error();
}

}  // namespace

void rename_file(const OpenTarget& source, const OpenTarget& target) {
  check(PySys_Audit("os.rename", "OOii", source.text.ptr(), target.text.ptr(), -1, -1));
  int result;
  int error;
  Py_BEGIN_ALLOW_THREADS;
  result = ::rename(source.bytes.c_str(), target.bytes.c_str());
  error = errno;
  Py_END_ALLOW_THREADS;
  if (result != 0) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, source.text.ptr(), target.text.ptr());
    throw_python_error();
  }
}

ReadFile::ReadFile(const OpenTarget& target) {
  check(PySys_Audit("open", "Osi", target.text.ptr(), "r", kReadFlags));
  const char* name = target.bytes.c_str();
  fd_ = retried([name] { return ::open(name, kReadFlags, 0666); });
  if (fd_ < 0) raise_errno(errno, target.text);
  struct stat status{};
  int result;
  int error;
  Py_BEGIN_ALLOW_THREADS;
  result = fstat(fd_, &status);
  error = errno;
  Py_END_ALLOW_THREADS;
  // Other fstat errors are tolerated, as open() tolerates them. A
  // constructor that throws runs no destructor: the file is closed here.
  if ((result < 0 && error == EBADF) || (result == 0 && S_ISDIR(status.st_mode))) {
    ::close(fd_);
    fd_ = -1;
    if (result < 0) raise_errno(error);
    raise_errno(EISDIR, target.text);
  }
}

ReadFile::~ReadFile() {
  if (fd_ >= 0) ::close(fd_);
}

Ref ReadFile::read_all() {
  struct stat status{};
  off_t position;
  int result;
  Py_BEGIN_ALLOW_THREADS;
  position = lseek(fd_, 0, SEEK_CUR);
  result = fstat(fd_, &status);
  Py_END_ALLOW_THREADS;
  // A regular file's size, and one byte more to see its end in the first
  // read; then as much again each time the file has grown meanwhile.
  Py_ssize_t room = 8192;
  if (result == 0 && position >= 0 && status.st_size > position) {
    room = static_cast<Py_ssize_t>(status.st_size - position) + 1;
  }
  std::string content;
  Py_ssize_t filled = 0;
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, room));
  for (;;) {
    if (filled == room) {
      content.append(PyBytes_AS_STRING(bytes.ptr()), filled);
      filled = 0;
    }
    char* into = PyBytes_AS_STRING(bytes.ptr()) + filled;
    const std::size_t wanted = static_cast<std::size_t>(room - filled);
    const int fd = fd_;
    const ssize_t got = retried([fd, into, wanted] { return ::read(fd, into, wanted); });
    if (got < 0) {
      // A file that would block: what was read so far, or None.
      if (errno != EAGAIN) raise_errno(errno);
      if (content.empty() && filled == 0) return none();
      break;
    }
    if (got == 0) break;
    filled += got;
  }
  if (content.empty()) return shrunk_bytes(std::move(bytes), filled);
  content.append(PyBytes_AS_STRING(bytes.ptr()), filled);
  return Ref::steal(PyBytes_FromStringAndSize(content.data(), static_cast<Py_ssize_t>(content.size())));
}

void ReadFile::close() {
  const int fd = fd_;
  fd_ = -1;
  int result;
  int error;
  Py_BEGIN_ALLOW_THREADS;
  result = ::close(fd);
  error = errno;
  Py_END_ALLOW_THREADS;
  if (result < 0) raise_errno(error);
}

}  // namespace tools

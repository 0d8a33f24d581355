#include "core/boundary.hpp"

#include <exception>
#include <new>

namespace tools {

void set_error_from_current_exception(Operation operation) noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_SystemError, "%s%s reported an error without setting an exception", operation.name,
                   operation.detail);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "%s%s failed with an unexpected C++ exception: %s", operation.name,
                 operation.detail, error.what());
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "%s%s failed with an unexpected C++ exception", operation.name, operation.detail);
  }
}

}  // namespace tools

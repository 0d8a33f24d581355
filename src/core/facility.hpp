// The decorated operations of the logging facility that ships with the
// package (tools.facility). Its decorator's result is called on every
// operation of Folder, File and Table, so it is a native callable that adds
// no Python frame and next to no time: it drops a handed-on `logger`
// keyword and calls the operation with everything else as it came.
#pragma once

#include "core/ref.hpp"

namespace tools {

// What the facility's decorator makes of `target`, an operation's
// staticmethod or plain function: a native callable around the function
// that carries the attributes functools.wraps copies, `__wrapped__`, and
// `logger` (the operation's logger). A plain function's callable binds as a
// method, as the function does; a staticmethod's comes back in a new
// staticmethod.
Ref decorated_operation(Handle target, Handle logger);

// The decorator for one operation: a callable of one argument, the target,
// that gives `decorated_operation(target, logger)`.
Ref decorator_with(Handle logger);

}  // namespace tools

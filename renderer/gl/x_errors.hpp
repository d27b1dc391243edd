#pragma once

#include <X11/Xlib.h>

namespace mirel {

// X protocol errors on a renderer's own connection are answered where they matter by the status
// of the call that caused them (a window that no longer exists, say); Xlib's default handler
// would end the whole process instead. Errors on every other connection of the process still
// reach the handler that was installed before.
void ignoreErrorsOn(::Display* connection);
// Called once the connection is closed: errors raised while closing it are still ignored.
void forgetErrorsOn(::Display* connection);

}  // namespace mirel

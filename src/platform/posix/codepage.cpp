// The byte strings of this system are read as cp1252 everywhere, so texts
// convert the same way on every POSIX host whatever its locale.
#include "platform/codepage.h"

namespace vela::platform {

const CodePage& SystemCodePage() { return Cp1252(); }

}  // namespace vela::platform

// The program's one application object, built before WinMain runs it.
#include "ui/orv_app.h"

namespace {

COrvApp g_app;

} // namespace

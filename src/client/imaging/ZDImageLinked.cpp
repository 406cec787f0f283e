// Linked into programs that run agents in-process: they have the graphics library anyway.
#include "imaging/ZDImageOps.h"

namespace {
const bool g_handedOver = (ZDImageWork::useBackend(&ZDImageOps::backend()), true);
}

#pragma once

#include "session/ZDImageWork.h"

// The agent's image work, on the graphics library: linked into the image module, and into
// programs that run agents in-process.
namespace ZDImageOps {
const ZDImageBackend &backend();
}

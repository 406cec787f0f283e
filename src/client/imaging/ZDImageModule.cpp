// The image module's entry point, resolved by the agent on its first image.
#include "imaging/ZDImageOps.h"

extern "C" Q_DECL_EXPORT const ZDImageBackend *zdImageBackend() { return &ZDImageOps::backend(); }

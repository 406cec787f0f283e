// The download module's entry point, resolved by the agent on its first download.
#include "session/ZDFetchWork.h"

namespace {
const ZDFetchBackend g_backend{&ZDSoftwareUpdatesFetch::get};
}

extern "C" Q_DECL_EXPORT const ZDFetchBackend *zdFetchBackend() { return &g_backend; }

// Linked into programs that run agents in-process: they have the network library anyway.
#include "session/ZDFetchWork.h"

namespace {
const ZDFetchBackend g_backend{&ZDSoftwareUpdatesFetch::get};
const bool g_handedOver = (ZDFetchWork::useBackend(&g_backend), true);
}

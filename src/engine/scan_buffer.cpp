// The scan buffer shared by all scanning (see scan_buffer.h).
#include "engine/scan_buffer.h"

namespace engine {

ScanBuffer g_scan;

}  // namespace engine

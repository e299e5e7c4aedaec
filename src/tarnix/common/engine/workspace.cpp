// Work arrays of user-sized length (workspace.hpp).

#include "common/engine/workspace.hpp"

#include <cstdio>

namespace tarnix::engine {

void format_bytes(double bytes, char* out, size_t size)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024.0) {
        std::snprintf(out, size, "%.0f bytes", bytes);
        return;
    }
    double value = bytes / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(out, size, "%.1f %s", value, units[unit]);
}

}  // namespace tarnix::engine

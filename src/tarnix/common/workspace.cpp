// Work arrays of user-sized length and their memory errors (workspace.hpp).

#include "common/workspace.hpp"

#include "common/errors.hpp"

#include <cstdio>

namespace tarnix {

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

void raise_workspace_error(const WorkspaceFor& for_what, double bytes)
{
    char amount[48];
    format_bytes(bytes, amount, sizeof amount);
    raise_format(for_what.memory_error, "%s: cannot allocate %s of workspace for a %lld x %lld matrix",
                 for_what.library, amount, for_what.rows, for_what.cols);
}

}  // namespace tarnix

// Work arrays of user-sized length and their memory errors (workspace.hpp).

#include "common/workspace.hpp"
#include "common/surface.hpp"

#include "common/errors.hpp"

namespace tarnix {

void raise_workspace_error(const WorkspaceFor& for_what, double bytes)
{
    char amount[48];
    format_bytes(bytes, amount, sizeof amount);
    raise_format(for_what.memory_error, surface::workspace_memory, for_what.library, amount, for_what.rows,
                 for_what.cols);
}

}  // namespace tarnix

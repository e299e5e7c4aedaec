// The shared layer of the tarnix extension modules, in one include.
#pragma once

#include "common/allocator.hpp"
#include "common/arrays.hpp"
#include "common/assertions.hpp"
#include "common/buffer.hpp"
#include "common/conversions.hpp"
#include "common/csc.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "common/function.hpp"
#include "common/module.hpp"
#include "common/record.hpp"
#include "common/ref.hpp"
#include "common/surface.hpp"
#include "common/threads.hpp"

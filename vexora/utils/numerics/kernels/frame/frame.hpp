// The extension-module frame shared by the kernels: ownership, errors, binding, arrays, the lock.
#pragma once

#include "bind.hpp"
#include "error.hpp"
#include "gil.hpp"
#include "in_place.hpp"
#include "memory.hpp"
#include "module.hpp"
#include "notes.hpp"
#include "parameters.hpp"
#include "ref.hpp"
#include "threads.hpp"
#include "view.hpp"

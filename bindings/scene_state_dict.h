#pragma once
// The scene state as Python sees it: a dictionary of NumPy arrays and plain
// scalars, format version kSceneStateVersion. See scene_state_dict.cpp for the
// fields; README.md documents them for users.

#include <pybind11/pybind11.h>

#include "scene/scene_state.h"

namespace norvi::py_bind {

constexpr int kSceneStateVersion = 2;

pybind11::dict state_to_dict(const SceneState& state);

// Checks every field (present, of the promised type and shape, consistent
// with the others, no unknown field, a version this module reads) and throws
// std::invalid_argument naming the field otherwise.
SceneState state_from_dict(const pybind11::dict& state);

}  // namespace norvi::py_bind

// Everything a caller needs: the model, inverse kinematics (plain and
// yaw-limited), warm-started forward kinematics, the singularity margin,
// motion within the servos' limits and calibration from measured poses.
// See each header.
#pragma once

#include "calibration.hpp"
#include "fatal.hpp"
#include "forward.hpp"
#include "inverse.hpp"
#include "inverse_safe.hpp"
#include "mat4.hpp"
#include "model.hpp"
#include "motion.hpp"
#include "singularity.hpp"

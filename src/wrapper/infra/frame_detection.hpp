// The per-picture half of object detection, shared by the picture and the
// video detectors: network input, forward pass, candidate boxes (native),
// non-maximum suppression and the (label, confidence) list. OpenCV is
// reached through the calling module's own `cv2` global.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "pyface/function.hpp"

namespace wrapper::frame_detection {
namespace nb = nanobind;

// The objects the network finds in one BGR picture (height x width x
// channels array). `print_shape` prints the picture's shape first, as the
// picture detector does.
nb::object detect_objects(const pyface::Args &a, nb::handle picture, nb::handle net,
                          nb::handle output_layers, nb::handle labels, bool print_shape);

}  // namespace wrapper::frame_detection

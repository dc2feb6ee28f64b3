// How many bytes a Darknet weights file must hold for the network that a
// Darknet configuration describes, as OpenCV's reader consumes them.
//
// OpenCV reads the weights with unchecked stream reads: a file that ends
// early leaves the rest of the network's parameters uninitialised and
// loads without an error, giving detections that change from run to run.
// Knowing the size the configuration needs lets the caller refuse such a
// file instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace wrapper_native {

// The number of 32-bit floats the configuration's layers read, in the way
// OpenCV's importer counts them: per convolutional layer its biases, three
// more vectors of `filters` values when batch_normalize=1, and
// filters * (input channels / groups) * size * size weights, with the
// channel counts carried through the layers that pass, route, reorganise
// or sum them. Empty when the text holds a layer whose count cannot be
// told this way (fully connected layers, layer types it does not know) or
// values it cannot read: the caller then makes no check.
std::optional<uint64_t> darknet_parameter_count(std::string_view cfg);

// Bytes of the header before the parameters: three int32 version numbers
// and a "seen" counter, int64 from version 0.2 on, int32 before.
inline uint64_t darknet_header_size(int32_t major, int32_t minor) {
    return static_cast<int64_t>(major) * 10 + minor >= 2 ? 20 : 16;
}

}  // namespace wrapper_native

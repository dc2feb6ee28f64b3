#include "wrapper_native/darknet_weights.hpp"

#include <charconv>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace wrapper_native {

namespace {

using Section = std::map<std::string, std::string, std::less<>>;

// OpenCV keeps only the characters from '!' to 'z' of each line.
std::string printable(std::string_view line) {
    std::string out;
    for (char c : line)
        if (c > ' ' && c <= 'z') out.push_back(c);
    return out;
}

// The layers in order, each with its type under "layer_type", and the
// [net] section; false when a line cannot be read.
bool parse(std::string_view cfg, Section &net, std::vector<Section> &layers) {
    Section *current = nullptr;
    while (!cfg.empty()) {
        const size_t end = cfg.find('\n');
        const std::string line = printable(cfg.substr(0, end));
        cfg.remove_prefix(end == std::string_view::npos ? cfg.size() : end + 1);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos || close < 2) return false;
            if (line == "[net]") {
                current = &net;
            } else {
                layers.emplace_back();
                current = &layers.back();
                (*current)["layer_type"] = line.substr(1, close - 1);
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || current == nullptr) return false;
        std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (!name.empty() && !value.empty()) (*current)[name] = value;
    }
    return true;
}

// A leading integer, as a stream extraction reads it.
std::optional<int64_t> leading_int(std::string_view text) {
    int64_t v = 0;
    const char *first = text.data(), *last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || ptr == first) return std::nullopt;
    return v;
}

std::optional<int64_t> param(const Section &s, std::string_view key, int64_t fallback) {
    const auto it = s.find(key);
    if (it == s.end()) return fallback;
    return leading_int(it->second);
}

std::optional<std::vector<int64_t>> numbers(const Section &s, std::string_view key) {
    const auto it = s.find(key);
    if (it == s.end()) return std::nullopt;
    std::vector<int64_t> out;
    std::string_view rest = it->second;
    while (true) {
        const size_t comma = rest.find(',');
        const auto v = leading_int(rest.substr(0, comma));
        if (!v) return std::nullopt;
        out.push_back(*v);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

// Counts far beyond any real network mean the text is not one.
constexpr uint64_t kLimit = uint64_t{1} << 40;

}  // namespace

std::optional<uint64_t> darknet_parameter_count(std::string_view cfg) {
    Section net;
    std::vector<Section> layers;
    if (!parse(cfg, net, layers) || layers.empty()) return std::nullopt;
    const auto channels = param(net, "channels", 3);
    if (!channels || *channels <= 0 || static_cast<uint64_t>(*channels) > kLimit)
        return std::nullopt;
    std::vector<int64_t> out(layers.size());
    int64_t c = *channels;
    uint64_t total = 0;
    for (size_t k = 0; k < layers.size(); ++k) {
        const Section &layer = layers[k];
        const std::string &type = layer.at("layer_type");
        if (type == "convolutional") {
            const auto size = param(layer, "size", -1), filters = param(layer, "filters", -1),
                       groups = param(layer, "groups", 1), bn = param(layer, "batch_normalize", 0);
            if (!size || !filters || !groups || !bn || *size <= 0 || *filters <= 0 ||
                *groups <= 0 || c % *groups != 0)
                return std::nullopt;
            const auto f = static_cast<uint64_t>(*filters), s = static_cast<uint64_t>(*size);
            // Each factor is bounded before it multiplies, so no product
            // wraps around into a small, plausible count. c / groups >= 1.
            if (f > kLimit || s > (uint64_t{1} << 20)) return std::nullopt;
            const auto inputs = static_cast<uint64_t>(c / *groups);
            if (inputs > kLimit / (s * s)) return std::nullopt;
            const uint64_t per_filter = inputs * s * s;
            if (f > kLimit / per_filter) return std::nullopt;
            total += f * (*bn == 1 ? 4 : 1) + f * per_filter;
            c = *filters;
        } else if (type == "route") {
            const auto from = numbers(layer, "layers");
            if (!from || layer.count("groups") != 0) return std::nullopt;
            c = 0;
            for (int64_t index : *from) {
                if (index < 0) index += static_cast<int64_t>(k);
                if (index < 0 || static_cast<size_t>(index) >= k) return std::nullopt;
                c += out[static_cast<size_t>(index)];
                // Bounded as it grows: a list of millions of entries must
                // not overflow.
                if (c > static_cast<int64_t>(kLimit)) return std::nullopt;
            }
        } else if (type == "reorg") {
            const auto stride = param(layer, "stride", 2);
            if (!stride || *stride <= 0 || *stride > 1024) return std::nullopt;
            c *= *stride * *stride;
        } else if (type != "maxpool" && type != "avgpool" && type != "softmax" &&
                   type != "dropout" && type != "cost" && type != "shortcut" &&
                   type != "scale_channels" && type != "upsample" && type != "yolo" &&
                   type != "region") {
            return std::nullopt;  // fully connected, or a type not known here
        }
        if (c <= 0 || static_cast<uint64_t>(c) > kLimit || total > kLimit) return std::nullopt;
        out[k] = c;
    }
    return total;
}

}  // namespace wrapper_native

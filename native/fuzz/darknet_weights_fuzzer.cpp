// The weights-size count of a Darknet configuration: configurations built
// from known layers and values (some absent, repeated, negative, huge or
// unreadable), written out as text with comments and stray blanks, against
// the count worked out from those values in 128-bit arithmetic; and any
// text at all, which must never crash or overflow.
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "wrapper_native/darknet_weights.hpp"

namespace {

using Wide = unsigned __int128;

// What the count accepts: anything larger is no real network.
constexpr Wide kLimit = Wide{1} << 40;

// Products that stop growing past 2^100, far above the limit.
Wide times(Wide a, Wide b) {
    const Wide cap = Wide{1} << 100;
    if (a != 0 && b > cap / a) return cap;
    return a * b;
}

// A parameter as written: absent, a number (with or without "+"), or text
// that is no number.
struct Value {
    enum Kind { Absent, Number, Junk } kind = Absent;
    int64_t number = 0;
};

Value take_value(FuzzedDataProvider &in) {
    Value v;
    switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: return v;
        case 1: v.kind = Value::Junk; return v;
        case 2:
            v.kind = Value::Number;
            v.number = in.PickValueInArray<int64_t>({0, -1, int64_t{1} << 20, int64_t{1} << 31,
                                                     int64_t{1} << 32, int64_t{1} << 40,
                                                     (int64_t{1} << 40) + 1, int64_t{1} << 62,
                                                     INT64_MAX, INT64_MIN});
            return v;
        default:
            v.kind = Value::Number;
            v.number = in.ConsumeIntegralInRange<int64_t>(-3, 40);
            return v;
    }
}

void write_value(FuzzedDataProvider &in, std::string &text, const char *key, const Value &v) {
    if (v.kind == Value::Absent) return;
    text += in.ConsumeBool() ? "" : " ";
    text += key;
    text += in.ConsumeBool() ? "=" : " = ";
    if (v.kind == Value::Junk) {
        text += "x1";
    } else {
        if (v.number >= 0 && in.ConsumeIntegralInRange(0, 5) == 0) text += "+";
        text += std::to_string(v.number);
    }
    text += in.ConsumeIntegralInRange(0, 5) == 0 ? " # note\n" : "\n";
}

struct Layer {
    std::string type;
    Value size, filters, groups, batch_normalize, stride;
    std::vector<Value> from;  // route
    bool route_groups = false;
};

// The count worked out from the values themselves.
std::optional<uint64_t> expected_count(const Value &channels_value,
                                       const std::vector<Layer> &layers) {
    if (layers.empty()) return std::nullopt;
    auto param = [](const Value &v, int64_t fallback) -> std::optional<__int128> {
        if (v.kind == Value::Absent) return fallback;
        if (v.kind == Value::Junk) return std::nullopt;
        return v.number;
    };
    const auto channels = param(channels_value, 3);
    if (!channels || *channels <= 0 || *channels > static_cast<__int128>(kLimit))
        return std::nullopt;
    std::vector<__int128> out(layers.size());
    __int128 c = *channels;
    Wide total = 0;
    for (size_t k = 0; k < layers.size(); ++k) {
        const Layer &layer = layers[k];
        if (layer.type == "convolutional") {
            const auto size = param(layer.size, -1), filters = param(layer.filters, -1),
                       groups = param(layer.groups, 1), bn = param(layer.batch_normalize, 0);
            if (!size || !filters || !groups || !bn || *size <= 0 || *filters <= 0 ||
                *groups <= 0 || c % *groups != 0)
                return std::nullopt;
            const Wide f = static_cast<Wide>(*filters), s = static_cast<Wide>(*size);
            const Wide per_filter = times(times(static_cast<Wide>(c / *groups), s), s);
            if (f > kLimit || s > kLimit || per_filter > kLimit || times(f, per_filter) > kLimit)
                return std::nullopt;
            total += f * (*bn == 1 ? 4 : 1) + f * per_filter;
            c = *filters;
        } else if (layer.type == "route") {
            if (layer.from.empty() || layer.route_groups) return std::nullopt;
            c = 0;
            for (const Value &v : layer.from) {
                if (v.kind != Value::Number) return std::nullopt;
                __int128 index = v.number;
                if (index < 0) index += static_cast<__int128>(k);
                if (index < 0 || index >= static_cast<__int128>(k)) return std::nullopt;
                c += out[static_cast<size_t>(index)];
            }
        } else if (layer.type == "reorg") {
            const auto stride = param(layer.stride, 2);
            if (!stride || *stride <= 0 || *stride > 1024) return std::nullopt;
            c *= *stride * *stride;
        } else if (layer.type != "maxpool" && layer.type != "upsample" && layer.type != "yolo" &&
                   layer.type != "shortcut") {
            return std::nullopt;
        }
        if (c <= 0 || c > static_cast<__int128>(kLimit) || total > kLimit) return std::nullopt;
        out[k] = c;
    }
    return static_cast<uint64_t>(total);
}

void check_built_configuration(FuzzedDataProvider &in) {
    std::string text = in.ConsumeBool() ? "# a network\n" : "";
    text += "[net]\nwidth=416\n";
    const Value channels = take_value(in);
    write_value(in, text, "channels", channels);
    std::vector<Layer> layers(in.ConsumeIntegralInRange<size_t>(0, 12));
    for (Layer &layer : layers) {
        layer.type = in.PickValueInArray<std::string>({"convolutional", "convolutional", "route",
                                                        "reorg", "maxpool", "upsample", "yolo",
                                                        "shortcut", "connected", "lstm"});
        text += in.ConsumeIntegralInRange(0, 4) == 0 ? "\n; layer\n[" : "[";
        text += layer.type + "]\n";
        if (layer.type == "convolutional") {
            layer.size = take_value(in);
            layer.filters = take_value(in);
            layer.groups = take_value(in);
            layer.batch_normalize = take_value(in);
            // A key given twice: the last one written counts.
            if (in.ConsumeIntegralInRange(0, 6) == 0) {
                const Value earlier = take_value(in);
                write_value(in, text, "filters", earlier);
                if (layer.filters.kind == Value::Absent) layer.filters = earlier;
            }
            write_value(in, text, "size", layer.size);
            write_value(in, text, "filters", layer.filters);
            write_value(in, text, "groups", layer.groups);
            write_value(in, text, "batch_normalize", layer.batch_normalize);
            text += "activation=leaky\n";
        } else if (layer.type == "route") {
            for (size_t n = in.ConsumeIntegralInRange<size_t>(1, 3); n > 0; --n) {
                Value v;
                v.kind = in.ConsumeIntegralInRange(0, 15) == 0 ? Value::Junk : Value::Number;
                v.number = in.ConsumeIntegralInRange<int64_t>(-14, 14);
                layer.from.push_back(v);
            }
            text += "layers=";
            for (size_t n = 0; n < layer.from.size(); ++n) {
                if (n > 0) text += in.ConsumeBool() ? "," : ", ";
                const Value &v = layer.from[n];
                text += v.kind == Value::Junk ? "x" : std::to_string(v.number);
            }
            text += "\n";
            layer.route_groups = in.ConsumeIntegralInRange(0, 9) == 0;
            if (layer.route_groups) text += "groups=2\n";
        } else if (layer.type == "reorg") {
            layer.stride = take_value(in);
            write_value(in, text, "stride", layer.stride);
        } else {
            text += "stride=2\n";
        }
    }
    const std::optional<uint64_t> got = wrapper_native::darknet_parameter_count(text);
    const std::optional<uint64_t> want = expected_count(channels, layers);
    auto shown = [](const std::optional<uint64_t> &n) { return n ? std::to_string(*n) : "none"; };
    FUZZ_CHECK(got == want, "count " + shown(got) + ", expected " + shown(want) + " for:\n" + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        check_built_configuration(in);
    } else {
        const std::string text = in.ConsumeRemainingBytesAsString();
        const auto count = wrapper_native::darknet_parameter_count(text);
        if (count) FUZZ_CHECK(*count <= (uint64_t{1} << 40), "a count past the limit");
    }
    return 0;
}

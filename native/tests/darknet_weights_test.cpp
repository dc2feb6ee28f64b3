#include <gtest/gtest.h>

#include <string>

#include "wrapper_native/darknet_weights.hpp"

using wrapper_native::darknet_header_size;
using wrapper_native::darknet_parameter_count;

namespace {

std::string conv(int filters, int size, bool bn = false, int groups = 1) {
    return "[convolutional]\nfilters=" + std::to_string(filters) + "\nsize=" +
           std::to_string(size) + "\ngroups=" + std::to_string(groups) +
           "\nbatch_normalize=" + (bn ? "1" : "0") + "\nactivation=leaky\n";
}

const std::string kNet = "[net]\nwidth=416\nheight=416\nchannels=3\n";

}  // namespace

TEST(DarknetWeights, ConvolutionsCountBiasesNormalisationAndKernels) {
    // 24 biases + 24 * 3 weights; then 4 * (bias, scale, mean, variance)
    // + 4 * 24 * 3 * 3 weights on the 24 channels of the first.
    EXPECT_EQ(darknet_parameter_count(kNet + "[maxpool]\nsize=32\nstride=32\n" + conv(24, 1)),
              24u + 24 * 3);
    EXPECT_EQ(darknet_parameter_count(kNet + conv(24, 1) + conv(4, 3, true)),
              (24u + 72) + (16 + 4 * 24 * 9));
}

TEST(DarknetWeights, ChannelsFollowRoutesReorgAndPassThroughLayers) {
    const std::string text = kNet + conv(8, 1) + conv(16, 1) + "[route]\nlayers = -1, 0\n" +
                             conv(2, 1) + "[upsample]\nstride=2\n[shortcut]\nfrom=-3\n" +
                             "[yolo]\nmask=0\n[reorg]\nstride=2\n" + conv(1, 1);
    // Channels: 3 -> 8 -> 16 -> 24 (route) -> 2 -> 2 -> 2 -> 2 -> 8 (reorg) -> 1.
    const uint64_t expected = (8 + 8 * 3) + (16 + 16 * 8) + (2 + 2 * 24) + (1 + 8);
    EXPECT_EQ(darknet_parameter_count(text), expected);
}

TEST(DarknetWeights, GroupedConvolutionsDivideTheInputChannels) {
    EXPECT_EQ(darknet_parameter_count(kNet + conv(6, 1) + conv(4, 3, false, 2)),
              (6u + 18) + (4 + 4 * 3 * 9));
}

TEST(DarknetWeights, CommentsBlanksAndDefaultChannels) {
    const std::string text = "# a network\n[net]\n; no channels given: three\n\n"
                             "[convolutional]\n filters = 5 # five\nsize=1\n";
    EXPECT_EQ(darknet_parameter_count(text), 5u + 15);
}

TEST(DarknetWeights, UnknownOrUnreadableNetworksGiveNoCount) {
    EXPECT_EQ(darknet_parameter_count(""), std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet), std::nullopt);  // no layer
    EXPECT_EQ(darknet_parameter_count(kNet + "[connected]\noutput=10\n"), std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet + "[lstm]\n"), std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet + "[convolutional]\nsize=1\n"), std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet + "[convolutional]\nfilters=x\nsize=1\n"),
              std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet + conv(4, 1, false, 2)), std::nullopt);  // 3 % 2
    EXPECT_EQ(darknet_parameter_count(kNet + conv(4, 1) + "[route]\nlayers=-5\n"), std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet + conv(4, 1) + "[route]\nlayers=0\ngroups=2\n"),
              std::nullopt);
    EXPECT_EQ(darknet_parameter_count("filters=3\n" + kNet + conv(4, 1)), std::nullopt);
    EXPECT_EQ(darknet_parameter_count("[net]\nchannels=0\n" + conv(4, 1)), std::nullopt);
    EXPECT_EQ(darknet_parameter_count(kNet + conv(1 << 30, 1 << 10)), std::nullopt);
    // Products past 64 bits must not wrap into a small count.
    EXPECT_EQ(darknet_parameter_count(kNet + "[convolutional]\nfilters=13\nsize=4294967296\n"),
              std::nullopt);
    EXPECT_EQ(darknet_parameter_count(
                  "[net]\nchannels=1\n[convolutional]\nfilters=4294967296\nsize=65536\n"),
              std::nullopt);
    EXPECT_EQ(darknet_parameter_count(std::string("\x00\xff[net\nwidth=x\n", 15)), std::nullopt);
}

TEST(DarknetWeights, HeaderHoldsAWideCounterFromVersionPointTwo) {
    EXPECT_EQ(darknet_header_size(0, 1), 16u);
    EXPECT_EQ(darknet_header_size(0, 2), 20u);
    EXPECT_EQ(darknet_header_size(1, 0), 20u);
}

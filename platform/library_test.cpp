// Loading the ASPI layer as the host finds it: the test program has the
// simulated layer beside it, in the build folder.
#include "platform/library.h"

#include <gtest/gtest.h>

#include "platform/aspi.h"

namespace {

TEST(Library, TheLayerBesideTheProgramIsLoaded) {
    std::string why;
    void* layer = platform::load_aspi_layer(why);
    ASSERT_NE(layer, nullptr) << why;
    EXPECT_EQ(why, "");
    auto info =
        reinterpret_cast<GetASPI32SupportInfo_t>(platform::library_symbol(layer, "GetASPI32SupportInfo"));
    ASSERT_NE(info, nullptr);
    // The simulator's own entry point says that it is the simulator.
    EXPECT_NE(platform::library_symbol(layer, "aspisim_time_scale"), nullptr);
    EXPECT_EQ(platform::library_symbol(layer, "NoSuchEntryPoint"), nullptr);
    EXPECT_EQ((info() >> 8) & 0xFF, SS_COMP);
    platform::free_library(layer);
}

}  // namespace

#include "PluginLoader.h"

#include "Configuration.h"
#include "Fixture.h"
#include "MessageBus.h"

#include <gtest/gtest.h>

#ifdef HAUL_PLUGIN_PATH

namespace {

class PluginLoaderTest : public testing::Test
{
protected:
    // The component opens its store and subscribes when created; keep both inside the sandbox.
    void SetUp() override { Configuration::instance().set("Directories/DataPath", sandbox.path()); }
    void TearDown() override
    {
        Configuration::instance().clear();
        EXPECT_TRUE(MessageBus::instance().waitIdle(10000));
    }

    Sandbox sandbox;
    PluginLoader loader;
};

TEST_F(PluginLoaderTest, RegistersCreatesAndDestroysComponents)
{
    std::string error;
    ASSERT_TRUE(loader.load(HAUL_PLUGIN_PATH, &error)) << error;
    EXPECT_TRUE(loader.registered());
    EXPECT_EQ(loader.registeredType(), "Haulwright");
    EXPECT_EQ(std::make_pair(loader.apiVersionMajor(), loader.apiVersionMinor()), std::make_pair(1, 0));
    EXPECT_EQ(loader.languageCode(), 1);
    EXPECT_TRUE(loader.hasCreate() && loader.hasDestroy());
    EXPECT_FALSE(loader.load(HAUL_PLUGIN_PATH, &error)); // one library per loader

    EXPECT_EQ(loader.create("Other"), nullptr);
    IComponent* first = loader.create("Haulwright", nullptr);
    ASSERT_NE(first, nullptr);
    int parameters = 42;
    IComponent* second = loader.create("Haulwright", &parameters); // the argument is ignored
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(loader.destroy(nullptr), -1);
    EXPECT_EQ(loader.destroy(first), 0);
    EXPECT_EQ(loader.destroy(second), 0);
    EXPECT_EQ(loader.unload(), 0);
    EXPECT_EQ(loader.unload(), -1);
}

// A registration answered with 0 or more is accepted; a negative answer, a missing library
// or a library without the entry point fails with a reason.
TEST_F(PluginLoaderTest, LoadFailuresAreReported)
{
    for (int result : {0, 5, -1}) {
        PluginLoader registering;
        registering.setRegisterResult(result);
        std::string error;
        EXPECT_EQ(registering.load(HAUL_PLUGIN_PATH, &error), result >= 0) << result << ": " << error;
        EXPECT_EQ(registering.isLoaded(), result >= 0) << result;
        if (result >= 0) {
            EXPECT_EQ(registering.unload(), 0);
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(registering.create("Haulwright"), nullptr);
        }
    }
    const std::vector<std::pair<std::string, std::string>> rows = {{sandbox.file("absent.so"), "absent.so"},
                                                                   {"libsqlite3.so.0", "PF_initPlugin"}};
    for (const auto& row : rows) {
        PluginLoader failing;
        std::string error;
        EXPECT_FALSE(failing.load(row.first, &error)) << row.first;
        EXPECT_NE(error.find(row.second), std::string::npos) << error;
    }
}

} // namespace

#endif

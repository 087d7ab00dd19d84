#include "PluginLoader.h"

#include "Configuration.h"
#include "MessageBus.h"
#include "Sandbox.h"

#include <gtest/gtest.h>

#ifdef HAUL_PLUGIN_PATH

namespace {

class PluginLoaderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // The component opens its store and subscribes when created; keep both inside the sandbox.
        Configuration::instance().set("Directories/DataPath", sandbox.path());
    }
    void TearDown() override
    {
        Configuration::instance().clear();
        EXPECT_TRUE(MessageBus::instance().waitIdle(10000));
    }

    Sandbox sandbox;
    PluginLoader loader;
};

TEST_F(PluginLoaderTest, RegistrationRecordIsCopied)
{
    std::string error;
    ASSERT_TRUE(loader.load(HAUL_PLUGIN_PATH, &error)) << error;
    EXPECT_TRUE(loader.registered());
    EXPECT_EQ(loader.registeredType(), "Haulwright");
    EXPECT_EQ(loader.apiVersionMajor(), 1);
    EXPECT_EQ(loader.apiVersionMinor(), 0);
    EXPECT_TRUE(loader.hasCreate());
    EXPECT_TRUE(loader.hasDestroy());
    EXPECT_EQ(loader.languageCode(), 1);
    EXPECT_FALSE(loader.load(HAUL_PLUGIN_PATH, &error)); // one library per loader
    EXPECT_EQ(loader.unload(), 0);
    EXPECT_EQ(loader.unload(), -1);
}

TEST_F(PluginLoaderTest, NonNegativeRegisterResultsSucceedNegativeFails)
{
    for (int result : {0, 5}) {
        PluginLoader accepting;
        accepting.setRegisterResult(result);
        std::string error;
        ASSERT_TRUE(accepting.load(HAUL_PLUGIN_PATH, &error)) << "result " << result << ": " << error;
        EXPECT_EQ(accepting.unload(), 0);
    }
    PluginLoader refusing;
    refusing.setRegisterResult(-1);
    std::string error;
    EXPECT_FALSE(refusing.load(HAUL_PLUGIN_PATH, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(refusing.isLoaded());
    EXPECT_EQ(refusing.create("Haulwright"), nullptr);
}

TEST_F(PluginLoaderTest, CreatesAndDestroysComponents)
{
    std::string error;
    ASSERT_TRUE(loader.load(HAUL_PLUGIN_PATH, &error)) << error;
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
}

TEST_F(PluginLoaderTest, MissingLibraryOrEntryPointFails)
{
    std::string error;
    EXPECT_FALSE(loader.load(sandbox.file("absent.so"), &error));
    EXPECT_NE(error.find("absent.so"), std::string::npos) << error;
    PluginLoader noEntry;
    EXPECT_FALSE(noEntry.load("libsqlite3.so.0", &error));
    EXPECT_NE(error.find("PF_initPlugin"), std::string::npos) << error;
}

} // namespace

#endif

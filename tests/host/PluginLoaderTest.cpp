#include "PluginLoader.h"

#include "HostTest.h"
#include "MessageBus.h"

#ifdef HAUL_PLUGIN_PATH

namespace {

// Components of the registered type only, each its own, one library per loader; a
// registration answered with 0 or more is accepted, while a negative answer, a missing library
// or a library without the entry point fails with a reason.
TEST(PluginLoaderTest, CreatesDestroysAndReportsLoadFailures)
{
    // The component opens its store and subscribes when created; keep both inside the sandbox.
    Sandbox sandbox;
    Configuration::instance().set("Directories/DataPath", sandbox.path());
    PluginLoader loader;
    std::string error;
    ASSERT_TRUE(loader.load(HAUL_PLUGIN_PATH, &error)) << error;
    EXPECT_FALSE(loader.load(HAUL_PLUGIN_PATH, &error));
    EXPECT_EQ(loader.create("Other"), nullptr);
    IComponent* first = loader.create("Haulwright", nullptr);
    IComponent* second = loader.create("Haulwright", &error); // the argument is ignored
    EXPECT_TRUE(first != nullptr && second != nullptr && first != second);
    EXPECT_EQ(loader.destroy(first) + loader.destroy(second), 0);
    EXPECT_EQ(loader.unload(), 0);
    EXPECT_EQ(loader.unload(), -1);
    EXPECT_TRUE(MessageBus::instance().waitIdle(10000));

    const std::vector<std::tuple<std::string, int, std::string>> rows = {{HAUL_PLUGIN_PATH, 0, ""},
                                                                         {HAUL_PLUGIN_PATH, 5, ""},
                                                                         {HAUL_PLUGIN_PATH, -1, "refused"},
                                                                         {sandbox.file("absent.so"), 0, "absent.so"},
                                                                         {"libsqlite3.so.0", 0, "PF_initPlugin"}};
    for (const auto& [path, answer, reason] : rows) {
        PluginLoader other;
        other.setRegisterResult(answer);
        EXPECT_EQ(other.load(path, &error), reason.empty()) << path << " " << answer;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_EQ(other.unload(), reason.empty() ? 0 : -1);
    }
}

} // namespace

#endif

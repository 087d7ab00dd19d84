#include "ComponentFixture.h"
#include "MessageBus.h"
#include "Plugin.h"

#include <cstring>

namespace {

struct Seen
{
    std::string type;
    PluginObjectRegistration record{};
    int calls = 0;
};
Seen seen;
std::int32_t registerResult = 0;

std::int32_t recordingRegister(const char* type, const PluginObjectRegistration* record)
{
    seen.type = type;
    std::memcpy(&seen.record, record, sizeof seen.record);
    ++seen.calls;
    return registerResult;
}

PluginExitFunc initWith(std::int32_t result)
{
    seen = Seen();
    registerResult = result;
    PluginPlatformServices services{nullptr, &recordingRegister};
    return PF_initPlugin(&services);
}

} // namespace

using PluginTest = ComponentTest;

TEST_F(PluginTest, RegistersOneObjectTypeWithItsRecord)
{
    ASSERT_NE(nullptr, initWith(0));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ("Haulwright", seen.type);
    EXPECT_EQ(1, seen.record.apiVersionMajor);
    EXPECT_EQ(0, seen.record.apiVersionMinor);
    EXPECT_EQ(1, seen.record.languageCode);
    EXPECT_EQ(&createHaulwright, seen.record.createObject);
    EXPECT_EQ(&destroyHaulwright, seen.record.destroyObject);
}

TEST_F(PluginTest, RegistrationResultDecidesTheExitFunction)
{
    EXPECT_EQ(&exitPlugin, initWith(0));
    EXPECT_EQ(&exitPlugin, initWith(7));
    EXPECT_EQ(nullptr, initWith(-1));
    EXPECT_EQ(0, exitPlugin());
}

TEST_F(PluginTest, CreateIgnoresItsArgumentAndDestroyRefusesNull)
{
    void* object = seen.record.createObject ? seen.record.createObject(nullptr) : createHaulwright(nullptr);
    ASSERT_NE(nullptr, object);
    auto* component = static_cast<IComponent*>(object);
    component->start();
    EXPECT_EQ(2u, MessageBus::instance().subscriptionCount(dynamic_cast<IMessageSink*>(component)));
    component->stop();
    EXPECT_EQ(0, destroyHaulwright(object));
    EXPECT_EQ(-1, destroyHaulwright(nullptr));
    EXPECT_EQ(0, exitPlugin());
}

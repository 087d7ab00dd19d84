// haul demo runs its whole story against haul-testserver.
#include "HaulProcess.h"
#include "Sandbox.h"

#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

TEST(DemoTest, PausesResumesWithRangeAndFindsTheFinishedFile)
{
    if (!QFileInfo(HaulProcess::testServerProgram()).isExecutable())
        GTEST_SKIP() << "haul-testserver is not built";
    Sandbox sandbox;
    HaulProcess haul(sandbox.filePath("data"));
    const HaulProcess::Result result =
        haul.run({"--set", "Downloader/StatusInterval=200", "demo", "--size", "8M", "--rate", "4M"}, 120000);
    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(0, result.exitCode) << result.all().toStdString();
    const QString out = QString::fromUtf8(result.out);
    EXPECT_TRUE(out.contains("Range: bytes=")) << out.toStdString();
    EXPECT_TRUE(out.contains("as served")) << out.toStdString();
    EXPECT_TRUE(out.contains("with no request to the server")) << out.toStdString();
    // With --data-dir the finished file stays.
    EXPECT_EQ(8 << 20, QFileInfo(sandbox.filePath("data/download/haul-demo.bin")).size());
}

} // namespace

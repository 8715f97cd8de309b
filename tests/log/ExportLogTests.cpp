// The adaptor log as a blade meets it: through the exports of TarnStub.dll,
// with the registry's default limits. No Tarn server is registered: the stub
// logs its requests all the same.
#include <gtest/gtest.h>

#include "LogFile.h"
#include "StubFixture.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using tarn_test::ScopedRegistryValue;

constexpr ULONGLONG kDefaultLogLimit = 52428800;

class ExportLogTest : public tarn_test::StubTest {
protected:
    void SetUp() override {
        StubTest::SetUp();
        tarn_test::RemoveServerRegistration();
        limit_ =
            std::make_unique<ScopedRegistryValue>(ScopedRegistryValue::Missing(tarn_test::kTarnHostKey, L"LogLimit"));
        trunc_ =
            std::make_unique<ScopedRegistryValue>(ScopedRegistryValue::Missing(tarn_test::kTarnHostKey, L"LogTrunc"));
    }

    ULONGLONG LogLength() const {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(LogPath().c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    // A log of earlier runs that is bytes long, in whole lines.
    void SeedLog(size_t bytes) {
        std::string seed;
        seed.reserve(bytes);
        const std::string line = "20261206 12:00:00.000 I    10 Earlier::Run: " + std::string(80, 'e') + "\r\n";
        while (seed.size() + line.size() <= bytes) seed += line;
        seed.append(bytes - seed.size() - 2, 'e').append("\r\n");
        win::UniqueHandle file(
            CreateFileW(LogPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && WriteFile(file.get(), seed.data(), static_cast<DWORD>(seed.size()), &written, nullptr));
        ASSERT_EQ(seed.size(), written);
    }

private:
    std::unique_ptr<ScopedRegistryValue> limit_;
    std::unique_ptr<ScopedRegistryValue> trunc_;
};

TEST_F(ExportLogTest, ABladeTextWithCtrlZIsLoggedVerbatimAndEveryLineAfterItSurvivesATrim) {
    SeedLog(kDefaultLogLimit - 64 * 1024);
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    CollectPayload(
        L"type\x1A"
        L"blade",
        L"data");
    const ULONGLONG beforeTrim = LogLength();
    ASSERT_GT(beforeTrim, kDefaultLogLimit - 64 * 1024) << "trimmed too early";

    int requests = 0;
    for (ULONGLONG previous = beforeTrim; requests < 5000; ++requests) {
        CollectPayload((L"after " + std::to_wstring(requests)).c_str(), L"data");
        const ULONGLONG length = LogLength();
        if (length < previous) break;
        previous = length;
    }
    ASSERT_LT(requests, 5000) << "never trimmed";
    CollectPayload(L"after the trim", L"data");
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const std::string bytes = tarn_test::ReadFileBytes(LogPath());
    EXPECT_LT(bytes.size(), kDefaultLogLimit);
    EXPECT_NE(std::string::npos, bytes.find("TarnAdaptor::CollectPayload: Payload collected, type: type\x1A"
                                            "blade\r\n"));
    for (int i = 0; i <= requests; ++i) {
        const std::string line =
            "TarnAdaptor::CollectPayload: Payload collected, type: after " + std::to_string(i) + "\r\n";
        ASSERT_NE(std::string::npos, bytes.find(line)) << "lost: " << line;
    }
    EXPECT_NE(std::string::npos, bytes.find("Payload collected, type: after the trim\r\n"));
}

}  // namespace

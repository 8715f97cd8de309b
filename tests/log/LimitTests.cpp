#include "LogFixture.h"

namespace log_test {
namespace {

// A registry value for a limit: missing, a REG_DWORD, or four bytes of
// another type.
struct Setting {
    enum Kind { kMissing, kDword, kBinary } kind;
    DWORD value;
};
constexpr Setting Missing{Setting::kMissing, 0};
constexpr Setting Dword(DWORD v) { return {Setting::kDword, v}; }
constexpr Setting Binary(DWORD v) { return {Setting::kBinary, v}; }

struct LimitCase {
    Setting logLimit;
    Setting logTrunc;
    DWORD expectedLimit;
    DWORD expectedTrunc;
};

void PrintTo(const LimitCase& c, std::ostream* out) {
    auto show = [out](const Setting& s) {
        if (s.kind == Setting::kMissing) *out << "missing";
        else *out << (s.kind == Setting::kBinary ? "binary " : "") << s.value;
    };
    *out << "LogLimit ";
    show(c.logLimit);
    *out << ", LogTrunc ";
    show(c.logTrunc);
    *out << " -> " << c.expectedLimit << "/" << c.expectedTrunc;
}

class LimitsTest : public LogFileTest, public ::testing::WithParamInterface<LimitCase> {
protected:
    void Apply(const wchar_t* name, const Setting& s) {
        if (s.kind == Setting::kMissing) return;  // the fixture removed it
        const DWORD type = s.kind == Setting::kDword ? REG_DWORD : REG_BINARY;
        settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
            kTarnHostKey, name, type, &s.value, sizeof(s.value)));
    }
};

TEST_P(LimitsTest, RegistryLimitsAreNormalised) {
    const LimitCase c = GetParam();
    Apply(L"LogLimit", c.logLimit);
    Apply(L"LogTrunc", c.logTrunc);
    StartLog();
    const auto limits = adaptor_log_testing::CurrentLimits();
    EXPECT_EQ(c.expectedLimit, limits.logLimit);
    EXPECT_EQ(c.expectedTrunc, limits.logTrunc);
}

constexpr DWORD kLimit = 52428800;
constexpr DWORD kTrunc = 41943040;

INSTANTIATE_TEST_SUITE_P(
    Registry, LimitsTest,
    ::testing::Values(
        LimitCase{Missing, Missing, kLimit, kTrunc},
        // Below the minimum: both fall back, a configured LogTrunc is ignored.
        LimitCase{Dword(10000000), Dword(9000000), kLimit, kTrunc},
        LimitCase{Dword(0), Dword(60000000), kLimit, kTrunc},
        // LogTrunc is raised to half of the limit.
        LimitCase{Dword(100000000), Missing, 100000000, 50000000},
        LimitCase{Dword(100000000), Dword(0), 100000000, 50000000},
        LimitCase{Dword(100000000), Dword(60000000), 100000000, 60000000},
        // Equal: four fifths, without overflowing 32 bits.
        LimitCase{Dword(100000000), Dword(100000000), 100000000, 80000000},
        LimitCase{Dword(2000000000), Dword(2000000000), 2000000000, 1600000000},
        LimitCase{Dword(0xFFFFFFFF), Dword(0xFFFFFFFF), 0xFFFFFFFF, 3435973836u},
        // Above the limit: both fall back.
        LimitCase{Dword(100000000), Dword(120000000), kLimit, kTrunc},
        // Values of another type count as missing.
        LimitCase{Dword(100000000), Binary(60000000), 100000000, 50000000},
        LimitCase{Binary(100000000), Dword(60000000), kLimit, kTrunc}));

}  // namespace
}  // namespace log_test

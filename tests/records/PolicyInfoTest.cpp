#include <gtest/gtest.h>

#include <windows.h>

#include "records/PolicyInfo.h"

namespace {

const wchar_t kIdUpper[] = L"0123ABCD-4EF5-6789-ABCD-EF0102030405";
const GUID kId = {0x0123abcd, 0x4ef5, 0x6789, {0xab, 0xcd, 0xef, 0x01, 0x02, 0x03, 0x04, 0x05}};
const GUID kOtherId = {0xfedcba98, 0xffff, 0x8000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff}};

std::wstring Description(const std::wstring& id, const std::wstring& prefix = L"<policy ") {
    return prefix + L"type=\"60\" pac=\"2\" id=\"" + id + L"\" modDate=\"1700000000123\"/>";
}

PolicyInfo Marked() {
    PolicyInfo info;
    info.type = 111;
    info.pac = 222;
    info.id = kOtherId;
    info.modDate = 333;
    return info;
}

// The local time of a Unix time in seconds, worked out through the system's
// time zone functions rather than the C runtime's.
std::wstring ExpectedLocalTime(LONGLONG seconds) {
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME utcFile = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utc = {};
    SYSTEMTIME local = {};
    EXPECT_TRUE(FileTimeToSystemTime(&utcFile, &utc));
    EXPECT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    wchar_t text[32];
    _snwprintf(text, 32, L"%04u%02u%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
               local.wHour, local.wMinute, local.wSecond);
    text[31] = L'\0';
    return text;
}

TEST(PolicyInfoParse, ReadsAllFourAttributesWithHexOfEitherCase) {
    for (const wchar_t* id : {kIdUpper, L"0123abcd-4ef5-6789-abcd-ef0102030405"}) {
        PolicyInfo info;
        ASSERT_TRUE(info.Parse(Description(id))) << id;
        EXPECT_EQ(60, info.type);
        EXPECT_EQ(2, info.pac);
        EXPECT_TRUE(IsEqualGUID(kId, info.id)) << GuidToString(info.id);
        EXPECT_EQ(1700000000123LL, info.modDate);
        EXPECT_TRUE(info.key.empty());
    }
}

TEST(PolicyInfoParse, NumbersAreReadAsTheirLeadingDecimalDigits) {
    PolicyInfo info;
    ASSERT_TRUE(info.Parse(L"<p type=\"  -12abc\" pac=\"x9\" id=\"" + std::wstring(kIdUpper) +
                           L"\" modDate=\"-9000000000000\"/>"));
    EXPECT_EQ(-12, info.type);
    EXPECT_EQ(0, info.pac);
    EXPECT_EQ(-9000000000000LL, info.modDate);
}

TEST(PolicyInfoParse, AttributeAtTheVeryFirstCharacterIsNotTaken) {
    const std::wstring bare = L"type=\"60\" pac=\"2\" id=\"" + std::wstring(kIdUpper) +
                              L"\" modDate=\"5\"";
    PolicyInfo atStart = Marked();
    EXPECT_FALSE(atStart.Parse(bare));
    EXPECT_EQ(111, atStart.type);  // nothing was read

    PolicyInfo afterBlank;
    ASSERT_TRUE(afterBlank.Parse(L" " + bare));
    EXPECT_EQ(60, afterBlank.type);
    EXPECT_EQ(5, afterBlank.modDate);
}

TEST(PolicyInfoParse, IdSearchAlsoMatchesTheTailOfXid) {
    PolicyInfo info;
    ASSERT_TRUE(info.Parse(L"<p xid=\"fedcba98-ffff-8000-8000-0000000000ff\" " +
                           Description(kIdUpper, L"")));
    EXPECT_TRUE(IsEqualGUID(kOtherId, info.id)) << GuidToString(info.id);
}

TEST(PolicyInfoParse, FailingStepKeepsWhatEarlierStepsSet) {
    // No closing quote after the last value: modDate is empty.
    PolicyInfo unclosed = Marked();
    EXPECT_FALSE(unclosed.Parse(L"<p type=\"60\" pac=\"2\" id=\"" + std::wstring(kIdUpper) +
                                L"\" modDate=\"1700000000123"));
    EXPECT_EQ(60, unclosed.type);
    EXPECT_EQ(2, unclosed.pac);
    EXPECT_TRUE(IsEqualGUID(kId, unclosed.id));
    EXPECT_EQ(333, unclosed.modDate);

    PolicyInfo noPac = Marked();
    EXPECT_FALSE(noPac.Parse(L"<p type=\"61\" id=\"" + std::wstring(kIdUpper) + L"\" modDate=\"1\"/>"));
    EXPECT_EQ(61, noPac.type);
    EXPECT_EQ(222, noPac.pac);

    PolicyInfo emptyType = Marked();
    EXPECT_FALSE(emptyType.Parse(L"<p type=\"\" pac=\"2\" id=\"" + std::wstring(kIdUpper) +
                                 L"\" modDate=\"1\"/>"));
    EXPECT_EQ(111, emptyType.type);
}

TEST(PolicyInfoParse, IdWithoutAllElevenFieldsFails) {
    const wchar_t* const shortIds[] = {
        L"0123abcd-4ef5-6789-abcd-ef01020304",  // one byte of the last group missing
        L"0123abcd-4ef5-6789-ef0102030405",     // the two-byte group missing
        L"{0123abcd-4ef5-6789-abcd-ef0102030405}",
        L"not a guid",
    };
    for (const wchar_t* id : shortIds) {
        PolicyInfo info = Marked();
        EXPECT_FALSE(info.Parse(Description(id))) << id;
        EXPECT_EQ(60, info.type) << id;
        EXPECT_TRUE(IsEqualGUID(kOtherId, info.id)) << id;
        EXPECT_EQ(333, info.modDate) << id;
    }
}

TEST(PolicyInfoParse, ByteFieldsDoNotOverwriteTheirNeighbours) {
    // The last id byte sits right before modDate. Every byte at its maximum
    // and no modDate attribute: a scan that stored a whole integer into a
    // byte field would change modDate, which this parse must leave alone.
    PolicyInfo info = Marked();
    info.modDate = 0x0102030405060708LL;
    EXPECT_FALSE(info.Parse(L"<p type=\"1\" pac=\"1\" id=\"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF\"/>"));
    for (BYTE b : info.id.Data4) EXPECT_EQ(0xff, b);
    EXPECT_EQ(0xffffffffUL, info.id.Data1);
    EXPECT_EQ(0xffff, info.id.Data2);
    EXPECT_EQ(0xffff, info.id.Data3);
    EXPECT_EQ(0x0102030405060708LL, info.modDate);
}

TEST(PolicyInfoHasId, OnlyTheAllZeroIdCountsAsNone) {
    PolicyInfo info;
    EXPECT_FALSE(info.HasId());
    info.id.Data4[7] = 1;
    EXPECT_TRUE(info.HasId());
    info.id = {};
    info.id.Data1 = 0x80000000;
    EXPECT_TRUE(info.HasId());
}

TEST(GuidToStringTest, LowerCaseEightFourFourFourTwelve) {
    EXPECT_EQ(L"0123abcd-4ef5-6789-abcd-ef0102030405", GuidToString(kId));
    EXPECT_EQ(L"fedcba98-ffff-8000-8000-0000000000ff", GuidToString(kOtherId));
    const GUID small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 7}};
    EXPECT_EQ(L"00000001-0002-0003-0001-020304050607", GuidToString(small));
    EXPECT_EQ(L"00000000-0000-0000-0000-000000000000", GuidToString(GUID{}));
}

TEST(GuidToStringTest, ParseReadsBackWhatItWrites) {
    PolicyInfo info;
    ASSERT_TRUE(info.Parse(Description(GuidToString(kOtherId))));
    EXPECT_TRUE(IsEqualGUID(kOtherId, info.id));
}

TEST(PolicyInfoToString, FreshRecordShowsTheEpochAndNoKey) {
    PolicyInfo info;
    EXPECT_EQ(L"PolicyInfo: Pol type: 0 pac: 0 id: 00000000-0000-0000-0000-000000000000 "
              L"modDate: 0 (" + ExpectedLocalTime(0) + L") key: none",
              info.ToString());
}

TEST(PolicyInfoToString, ShowsEveryFieldWithTheTimeInSeconds) {
    PolicyInfo info;
    info.type = -60;
    info.pac = 2;
    info.id = kId;
    info.modDate = 1700000000999LL;  // the milliseconds are dropped, not rounded
    info.key = L"secret";
    EXPECT_EQ(L"PolicyInfo: Pol type: -60 pac: 2 id: 0123abcd-4ef5-6789-abcd-ef0102030405 "
              L"modDate: 1700000000999 (" + ExpectedLocalTime(1700000000) + L") key: not-empty",
              info.ToString());
}

TEST(PolicyInfoToString, TimeBeforeNineteenSeventyGivesAnEmptyTimeText) {
    PolicyInfo info;
    info.modDate = -86400000LL * 400;
    EXPECT_EQ(L"PolicyInfo: Pol type: 0 pac: 0 id: 00000000-0000-0000-0000-000000000000 "
              L"modDate: -34560000000 () key: none",
              info.ToString());
}

}  // namespace

#include <gtest/gtest.h>

#include "records/OperationStatusInfo.h"
#include "records/PolicyInfo.h"

namespace {

const wchar_t kIdText[] = L"0123ABCD-4EF5-6789-ABCD-EF0102030405";
const GUID kId = {0x0123abcd, 0x4ef5, 0x6789, {0xab, 0xcd, 0xef, 0x01, 0x02, 0x03, 0x04, 0x05}};
const GUID kOtherId = {0xfedcba98, 0xffff, 0x8000, {0x80, 0, 0, 0, 0, 0, 0, 0xff}};

std::wstring Description(const std::wstring& id, const std::wstring& prefix = L"<policy ") {
    return prefix + L"type=\"60\" pac=\"2\" id=\"" + id + L"\" modDate=\"1700000000123\"/>";
}

// A record whose fields show whether a parse changed them.
const PolicyInfo kMarked = {222, 111, kOtherId, 333, L""};
const wchar_t kMarkedId[] = L"fedcba98-ffff-8000-8000-0000000000ff";
const wchar_t kLowerId[] = L"0123abcd-4ef5-6789-abcd-ef0102030405";

// "type pac id modDate" of a record.
std::wstring Fields(const PolicyInfo& p) {
    return std::to_wstring(p.type) + L" " + std::to_wstring(p.pac) + L" " + GuidToString(p.id) + L" " +
           std::to_wstring(p.modDate);
}

// The local time of a Unix time in seconds, worked out through the system's
// time zone functions rather than the C runtime's.
std::wstring ExpectedLocalTime(LONGLONG seconds) {
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
    const FILETIME utcFile = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utc = {}, local = {};
    EXPECT_TRUE(FileTimeToSystemTime(&utcFile, &utc));
    EXPECT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%04u%02u%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
               local.wMinute, local.wSecond);
    return text;
}

TEST(PolicyInfoParse, ReadsAllFourAttributesAndNumbersByTheirLeadingDigits) {
    for (const wchar_t* id : {kIdText, kLowerId}) {
        PolicyInfo info;
        ASSERT_TRUE(info.Parse(Description(id))) << id;
        EXPECT_EQ(L"60 2 " + std::wstring(kLowerId) + L" 1700000000123", Fields(info));
    }
    PolicyInfo info;
    ASSERT_TRUE(info.Parse(L"<p type=\"  -12abc\" pac=\"x9\" id=\"" + std::wstring(kIdText) +
                           L"\" modDate=\"-9000000000000\"/>"));
    EXPECT_EQ(L"-12 0 " + std::wstring(kLowerId) + L" -9000000000000", Fields(info));
}

TEST(PolicyInfoParse, AttributeAtTheVeryFirstCharacterIsNotTakenButXidCountsAsId) {
    const std::wstring bare = L"type=\"60\" pac=\"2\" id=\"" + std::wstring(kIdText) + L"\" modDate=\"5\"";
    PolicyInfo atStart = kMarked;
    EXPECT_FALSE(atStart.Parse(bare));
    EXPECT_EQ(Fields(kMarked), Fields(atStart));  // nothing was read
    PolicyInfo afterBlank;
    ASSERT_TRUE(afterBlank.Parse(L" " + bare));
    EXPECT_EQ(L"60 2 " + std::wstring(kLowerId) + L" 5", Fields(afterBlank));

    // The id search also matches the tail of "xid".
    PolicyInfo info;
    ASSERT_TRUE(info.Parse(L"<p xid=\"" + std::wstring(kMarkedId) + L"\" " + Description(kIdText, L"")));
    EXPECT_EQ(kMarkedId, GuidToString(info.id));
}

TEST(PolicyInfoParse, FailingStepKeepsWhatEarlierStepsSet) {
    // No closing quote after the last value.
    PolicyInfo unclosed = kMarked;
    EXPECT_FALSE(
        unclosed.Parse(L"<p type=\"60\" pac=\"2\" id=\"" + std::wstring(kIdText) + L"\" modDate=\"1700000000123"));
    EXPECT_EQ(L"60 2 " + std::wstring(kLowerId) + L" 333", Fields(unclosed));

    // Ids without all eleven fields.
    for (const wchar_t* id : {L"0123abcd-4ef5-6789-abcd-ef01020304", L"not a guid", L"0123abcd-4ef5-6789-ef0102030405",
                              L"{0123abcd-4ef5-6789-abcd-ef0102030405}"}) {
        PolicyInfo info = kMarked;
        EXPECT_FALSE(info.Parse(Description(id))) << id;
        EXPECT_EQ(L"60 2 " + std::wstring(kMarkedId) + L" 333", Fields(info)) << id;
    }
}

TEST(PolicyInfoParse, ByteFieldsDoNotOverwriteTheirNeighbours) {
    // The last id byte sits right before modDate. Every byte at its maximum
    // and no modDate attribute: a scan that stored a whole integer into a
    // byte field would change modDate, which this parse must leave alone.
    PolicyInfo info = {222, 111, kOtherId, 0x0102030405060708LL, L""};
    EXPECT_FALSE(
        info.Parse(L"<p type=\"1\" pac=\"1\" id=\"" + std::wstring(L"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF\"/>")));
    EXPECT_EQ(L"ffffffff-ffff-ffff-ffff-ffffffffffff", GuidToString(info.id));
    EXPECT_EQ(0x0102030405060708LL, info.modDate);
}

TEST(PolicyInfoText, GuidTextIsLowerCaseAndToStringShowsEveryField) {
    EXPECT_EQ(kMarkedId, GuidToString(kOtherId));
    const GUID small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 7}};
    EXPECT_EQ(L"00000001-0002-0003-0001-020304050607", GuidToString(small));
    PolicyInfo info;
    EXPECT_FALSE(info.HasId());
    info.id.Data4[7] = 1;
    EXPECT_TRUE(info.HasId());
    info = {2, -60, kId, 1700000000999LL, L"secret"};  // the milliseconds are dropped, not rounded
    EXPECT_EQ(
        L"PolicyInfo: Pol type: -60 pac: 2 id: 0123abcd-4ef5-6789-abcd-ef0102030405 "
        L"modDate: 1700000000999 (" +
            ExpectedLocalTime(1700000000) + L") key: not-empty",
        info.ToString());
    info = {0, 0, GUID{}, -86400000LL * 400, L""};  // before 1970: an empty time text
    EXPECT_EQ(
        L"PolicyInfo: Pol type: 0 pac: 0 id: 00000000-0000-0000-0000-000000000000 "
        L"modDate: -34560000000 () key: none",
        info.ToString());
}

TEST(OperationStatusInfoTest, KeepsACopyOfTheTextAndANullTextBecomesEmpty) {
    const GUID op = {0xa1b2c3d4, 0xe5f6, 0x0718, {0x29, 0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f, 0x90}};
    wchar_t text[] = L"first";
    const OperationStatusInfo info(OperationStatusData{op, 7, text, nullptr, 0xffffffffu});
    text[0] = L'X';
    EXPECT_TRUE(IsEqualGUID(op, info.GetOpGuid()));
    EXPECT_EQ(7u, info.GetOpStatus());
    EXPECT_EQ(L"first", info.GetOpText1());
    EXPECT_EQ(L"", info.GetOpText2());
    EXPECT_EQ(0xffffffffu, info.GetOpValue());
    EXPECT_EQ(L"a1b2c3d4-e5f6-0718-293a-4b5c6d7e8f90", info.GetOpGuidString());
    const OperationStatusInfo none(OperationStatusData{op, 1, nullptr, L"second", 2});
    EXPECT_EQ(L"", none.GetOpText1());
    EXPECT_EQ(L"second", none.GetOpText2());
}

}  // namespace

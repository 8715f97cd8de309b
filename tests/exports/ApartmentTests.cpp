// The stub never touches the COM apartment of a blade's thread.
#include <gtest/gtest.h>
#include <objbase.h>

#include "StubFixture.h"
#include "tarnstub.h"

namespace {

using tarn_test::StubTest;

class ApartmentTest : public StubTest {};

APTTYPE CurrentApartment() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(CoGetApartmentType(&type, &qualifier))) return APTTYPE_CURRENT;
    return type;
}

TEST_F(ApartmentTest, BladeThreadKeepsItsSingleThreadedApartment) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_EQ(APTTYPE_MAINSTA, CurrentApartment());
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 1, &content));
    EXPECT_EQ(APTTYPE_MAINSTA, CurrentApartment());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    // Finalize ran on this thread: the apartment must still be there.
    EXPECT_EQ(APTTYPE_MAINSTA, CurrentApartment());
    CoUninitialize();
}

TEST_F(ApartmentTest, BladeThreadWithoutComStaysWithoutCom) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    const HRESULT hr = CoGetApartmentType(&type, &qualifier);
    // Either no COM at all, or (while other stub threads may still be in the
    // multithreaded apartment) the implicit one; never an apartment of its own.
    if (SUCCEEDED(hr)) EXPECT_EQ(APTTYPEQUALIFIER_IMPLICIT_MTA, qualifier);
    else EXPECT_EQ(CO_E_NOTINITIALIZED, hr);
}

}  // namespace

// The log tests' program: the test cases, or with "--log-child" the second
// process that a case starts (ChildProcess.h).
#include "ChildProcess.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cwchar>

namespace {

struct LocalFreeTraits {
    static wchar_t** Empty() noexcept { return nullptr; }
    static bool IsValid(wchar_t** p) noexcept { return p != nullptr; }
    static void Close(wchar_t** p) noexcept { LocalFree(p); }
};

}  // namespace

int main(int argc, char** argv) {
    int wideCount = 0;
    win::UniqueResource<wchar_t**, LocalFreeTraits> wide(CommandLineToArgvW(GetCommandLineW(), &wideCount));
    if (wide && wideCount >= 2 && std::wcscmp(wide.get()[1], L"--log-child") == 0) {
        return log_test::RunChild(wideCount - 2, wide.get() + 2);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

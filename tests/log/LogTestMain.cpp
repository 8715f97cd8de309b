// The log tests' program: the test cases, or with "--log-child" the second
// process that a case starts (ChildProcess.h).
#include "ChildProcess.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cwchar>

int main(int argc, char** argv) {
    int wideCount = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    win::UniqueLocalMemory owner(arguments);
    if (arguments && wideCount >= 2 && std::wcscmp(arguments[1], L"--log-child") == 0) {
        return log_test::RunChild(wideCount - 2, arguments + 2);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
